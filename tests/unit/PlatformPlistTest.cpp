#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <vector>

#include "AppURL.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Files/PropertyList.h"
#include "Platform/Process/Log.h"
#include "PlistTestSupport.h"
#include "TestSupport.h"

using namespace quillbox;
using namespace quillbox::platform;

namespace {
std::string tempDir() {
  char tmpl[] = "/tmp/qbtest.XXXXXX";
  return mkdtemp(tmpl);
}
}  // namespace

TEST(PropertyList, RoundTripKeepsOrderAndTypes) {
  PlistDict d;
  d.set("zeta", PlistValue("z"));
  d.set("alpha", PlistValue::integer(-5));
  d.set("big", PlistValue::integer(1LL << 40));
  d.set("flag", PlistValue::boolean(true));
  d.set("ratio", PlistValue::real(0.5));
  d.set("bytes", PlistValue::data(std::string("\0\1\2", 3)));
  d.set("list", PlistValue(PlistArray{PlistValue("a"), PlistValue::integer(2)}));
  std::string xml = PropertyList::toXml(PlistValue(d));
  auto back = PropertyList::parse(xml);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, PlistValue(d));
  std::vector<std::string> keys;
  for (auto& [k, v] : *back->asDict()) keys.push_back(k);
  EXPECT_EQ(keys,
            (std::vector<std::string>{"zeta", "alpha", "big", "flag", "ratio", "bytes", "list"}));
  auto fromBin = PropertyList::parse(PropertyList::toBinary(PlistValue(d)));
  ASSERT_TRUE(fromBin);
  EXPECT_EQ(fromBin->asDict()->getInteger("alpha"), -5);
}

TEST(PropertyList, MalformedInputIsNoValue) {
  EXPECT_FALSE(PropertyList::parse(""));
  EXPECT_FALSE(PropertyList::parse("<plist><dict><key>a</key>"));
  EXPECT_FALSE(PropertyList::parse("bplist00garbage"));
  std::string dir = tempDir();
  FileSystem::Default().writeAtomically(dir + "/bad.plist", "not a plist");
  EXPECT_TRUE(PropertyList::readDictionary(dir + "/bad.plist").empty());
  std::filesystem::remove_all(dir);
}

TEST(PlistValue, LenientReads) {
  EXPECT_EQ(PlistValue("42abc").integerValue(), 42);
  EXPECT_EQ(PlistValue("  -3").integerValue(), -3);
  EXPECT_EQ(PlistValue("abc").integerValue(), 0);
  EXPECT_TRUE(PlistValue("YES").boolValue());
  EXPECT_TRUE(PlistValue("true").boolValue());
  EXPECT_FALSE(PlistValue("no").boolValue());
  EXPECT_FALSE(PlistValue().boolValue());
}

TEST(AppURL, FormatVersion) {
  EXPECT_EQ(formatVersion("1.3.07009", 7), 1307009);
  EXPECT_EQ(formatVersion("1.3.07010", 7), 1307010);
  EXPECT_EQ(formatVersion("1.4", 7), 1400000);
  EXPECT_EQ(formatVersion("1.3", 7), 1300000);
  EXPECT_EQ(formatVersion("10.0", 7), 1000000);
  EXPECT_EQ(formatVersion("1.3.07009.1", 7), 13070091);
  EXPECT_EQ(formatVersion("", 7), 0);
  EXPECT_EQ(formatVersion("abc", 7), 0);
}

TEST(AppURL, LocatorFindsExactNameAndFollowsMoves) {
  std::string root = tempDir();
  ScopedSettings settings;
  settings.set("QUILLBOX_APPS_ROOT", root);
  ScopedContainer container;
  auto& fs = FileSystem::Default();
  fs.createDirectories(root + "/A/Quillbox.app");
  EXPECT_FALSE(locateQuillboxApp());
  fs.createDirectories(root + "/B/quillbox.app");
  ASSERT_TRUE(locateQuillboxApp());
  EXPECT_EQ(AppURL::sharedAppURL().appURL(), root + "/B");
  std::filesystem::rename(root + "/B", root + "/C");
  ASSERT_TRUE(locateQuillboxApp());
  EXPECT_EQ(AppURL::sharedAppURL().appURL(), root + "/C");
  EXPECT_EQ(getAppLibFilePath("x.plist"), root + "/C/Library/x.plist");
  EXPECT_EQ(getAppDocFilePath(""), root + "/C/Documents");
  std::filesystem::remove_all(root);
}

// Binary lists written by Python's plistlib: strings with a NUL character in
// them (legal in the binary form, fatal inside libplist) read as written and
// survive a binary round trip, but are refused as XML (which cannot carry a
// NUL); ordinary ones, long and non-ASCII, read too.
TEST(PropertyList, BinaryStringsWithNulReadButAreNoXml) {
  if (std::system("python3 -c 'import plistlib' 2>/dev/null") != 0)
    PREREQUISITE_MISSING("python3 with plistlib is not available");
  std::string dir = tempDir();
  const std::string script =
      "import plistlib, sys\n"
      "d = sys.argv[1]\n"
      "cases = {\n"
      " 'ok': {'userName': 'alice', 'long': 'x' * 300, 'wide': '\\u622a\\u5c4f' * 20},\n"
      " 'ascii-value': {'k': 'a\\x00b'},\n"
      " 'ascii-key': {'a\\x00b': 1},\n"
      " 'wide-value': {'k': '\\u622a\\x00'},\n"
      " 'wide-key': {'\\u622a\\x00' * 10: 'v'},\n"
      " 'nested': {'k': ['ok', {'x': 'long' * 10 + '\\x00'}]},\n"
      "}\n"
      "for name, doc in cases.items():\n"
      "    open(d + '/' + name, 'wb').write(plistlib.dumps(doc, fmt=plistlib.FMT_BINARY))\n";
  FileSystem::Default().writeAtomically(dir + "/gen.py", script);
  ASSERT_EQ(std::system(("python3 '" + dir + "/gen.py' '" + dir + "'").c_str()), 0);

  auto ok = PropertyList::read(dir + "/ok");
  ASSERT_TRUE(ok && ok->asDict());
  EXPECT_EQ(ok->asDict()->getString("userName"), "alice");
  EXPECT_EQ(ok->asDict()->getString("long"), std::string(300, 'x'));
  std::string wide;
  for (int i = 0; i < 20; ++i) wide += "截屏";
  EXPECT_EQ(ok->asDict()->getString("wide"), wide);
  EXPECT_EQ(PropertyList::read(dir + "/ascii-value")->asDict()->getString("k"),
            std::string("a\0b", 3));
  for (const char* nul : {"ascii-value", "ascii-key", "wide-value", "wide-key", "nested"}) {
    auto v = PropertyList::read(dir + "/" + nul);
    ASSERT_TRUE(v) << nul;
    EXPECT_EQ(PropertyList::parse(PropertyList::toBinary(*v)), v) << nul;
    EXPECT_EQ(PropertyList::toXml(*v), "") << nul;
  }
  std::filesystem::remove_all(dir);
}

// Inputs that once brought the reader down (kept under fuzz/regressions/)
// read as a value or as nothing, and never end the process.
TEST(PropertyList, FuzzRegressionsReadSafely) {
  namespace fs = std::filesystem;
  int seen = 0;
  for (const char* target : {"PropertyList", "Keychain"}) {
    const fs::path dir = fs::path(QUILLBOX_SOURCE_DIR) / "fuzz" / "regressions" / target;
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      auto value = PropertyList::read(entry.path().string());
      if (value) (void)PropertyList::toBinary(*value);
      ++seen;
    }
  }
  EXPECT_GE(seen, 4);
}

// A value XML 1.0 cannot carry is refused at the write, with a log line naming
// what is wrong, and the file keeps its old contents.
TEST(PropertyList, UnwritableValuesLeaveTheFileAsItWas) {
  TempDir dir;
  const std::string path = dir.file("store.plist");
  PlistDict old;
  old.set("kept", PlistValue("yes"));
  ASSERT_TRUE(PropertyList::write(path, PlistValue(old)));
  const std::string before = *FileSystem::Default().readFile(path);
  PlistValue deep = PlistValue(PlistArray{});
  for (int i = 0; i < 512; ++i) deep = PlistValue(PlistArray{deep});
  auto withKey = [](std::string key) {
    PlistDict d;
    d.set(std::move(key), PlistValue::integer(1));
    return PlistValue(std::move(d));
  };
  const struct {
    PlistValue value;
    const char* logged;
  } cases[] = {
      {PlistValue("bell\x07"), "control character U+0007"},
      {withKey("tab\tok but \x1f not"), "a key with the control character U+001F"},
      {PlistValue(std::string("nul\0", 4)), "control character U+0000"},
      {PlistValue("\xEF\xBF\xBE"), "non-character U+FFFE"},
      {PlistValue("\xC3\x28"), "not UTF-8"},
      {PlistValue::date(253402300800.0), "date outside the years 1 to 9999"},
      {PlistValue::dateSince2001(NAN), "date outside the years 1 to 9999"},
      {deep, "more than 512 levels"},
  };
  std::vector<std::string> lines;
  ScopedLogSink sink([&](const std::string& l) { lines.push_back(l); });
  for (const auto& c : cases) {
    lines.clear();
    EXPECT_FALSE(PropertyList::write(path, c.value)) << c.logged;
    EXPECT_EQ(*FileSystem::Default().readFile(path), before) << c.logged;
    ASSERT_EQ(lines.size(), 1u) << c.logged;
    EXPECT_NE(lines[0].find("plist: refused to write " + path), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(c.logged), std::string::npos) << lines[0];
  }
}

// Insertion order, and every key found, at any size; erasing keeps the rest.
TEST(PlistDict, KeepsOrderAndFindsEveryKey) {
  PlistDict d;
  std::map<std::string, int64_t> oracle;
  std::vector<std::string> order;
  const int n = 3000;
  for (int i = 0; i < n; ++i) {
    std::string key = "k" + std::to_string(i * 7 % n);
    d.set(key, PlistValue::integer(i));
    oracle[key] = i;
    order.push_back(key);
  }
  d.set("k0", PlistValue::integer(-5));  // in place
  oracle["k0"] = -5;
  for (int i = 0; i < n; i += 2) {
    ASSERT_TRUE(d.erase(order[i]));
    oracle.erase(order[i]);
  }
  d.setAtEnd(order[1], PlistValue::integer(-1));
  oracle[order[1]] = -1;
  ASSERT_EQ(d.size(), oracle.size());
  size_t at = 0;
  for (const auto& [k, v] : d) {
    // Odd positions in insertion order, then the key moved to the end.
    EXPECT_EQ(k, at + 1 < d.size() ? order[2 * at + 3] : order[1]);
    ++at;
  }
  for (const auto& [k, v] : oracle) ASSERT_EQ(d.getInteger(k), v) << k;
  for (int i = 0; i < n; i += 2) ASSERT_FALSE(d.contains(order[i]));
}
