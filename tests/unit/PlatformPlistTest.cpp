#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "AppURL.h"
#include "Platform/FileSystem.h"
#include "Platform/PropertyList.h"
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
  EXPECT_EQ(keys, (std::vector<std::string>{"zeta", "alpha", "big", "flag", "ratio", "bytes", "list"}));
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
  setenv("QUILLBOX_APPS_ROOT", root.c_str(), 1);
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
  AppURL::sharedAppURL().setAppURL("");
  unsetenv("QUILLBOX_APPS_ROOT");
  std::filesystem::remove_all(root);
}

// Binary lists written by Python's plistlib: strings with a NUL character in
// them (legal in the binary form, fatal inside libplist) are refused as a
// whole, while ordinary ones, long and non-ASCII, still read.
TEST(PropertyList, BinaryStringsWithNulAreRefused) {
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
  for (const char* bad : {"ascii-value", "ascii-key", "wide-value", "wide-key", "nested"})
    EXPECT_FALSE(PropertyList::read(dir + "/" + bad)) << bad;
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
