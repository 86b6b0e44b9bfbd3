// Our property-list readers and writers against Python's plistlib, over the
// documents CPython's own plistlib tests feed it (libpython3.11-testsuite)
// and edge cases of the integer and date ranges, text and malformed values
// (tests/unit/plistlib_peer.py collects them and plistlib's reading of each).
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Platform/Files/PropertyList.h"
#include "PlistTestSupport.h"
#include "TestSupport.h"

using namespace quillbox;
using namespace quillbox::platform;

namespace {
std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}
}  // namespace

// Every document plistlib reads into values we carry reads the same here;
// every one it refuses (or reads into what we don't carry: UIDs, cycles, more
// than 512 levels) is refused, without a crash or a hang; what we write from
// those values plistlib reads back equal, in XML and binary; where plistlib
// refuses to write XML (control characters) our writer refuses too; and where
// a sample is plistlib's own XML, ours is the same text byte for byte.
TEST(PlistPeer, ReadsAndWritesAsPlistlibOnItsTestDocuments) {
  TempDir dir;
  const std::string script = std::string(QUILLBOX_SOURCE_DIR) + "/tests/unit/plistlib_peer.py";
  // Debian's Python, whose test suite libpython3.11-testsuite installs.
  const std::string python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
  std::string out;
  const int status = runCommand(python + " '" + script + "' extract '" + dir.path() + "'", out);
  if (status == 3 || status == 127)
    PREREQUISITE_MISSING("python3 with test.test_plistlib is missing (libpython3.11-testsuite)");
  ASSERT_EQ(status, 0) << out;
  const int documents = std::stoi(out);
  ASSERT_GT(documents, 200);

  int values = 0, refused = 0, xmlWritten = 0, xmlRefused = 0, binaryWritten = 0, sameText = 0;
  for (int i = 0; i < documents; ++i) {
    const std::string base = dir.file(std::to_string(i));
    const std::string bytes = slurp(base + ".plist");
    const auto meta = nlohmann::json::parse(slurp(base + ".json"));
    const std::string verdict = meta["verdict"];
    SCOPED_TRACE(meta["name"].get<std::string>() + " (" + base + ".plist)");
    const auto value = PropertyList::parse(bytes);
    if (verdict == "invalid" || verdict == "outside") {
      EXPECT_FALSE(value) << verdict << " " << meta.value("why", "") << ", read as "
                          << value->description();
      refused += !value;
      continue;
    }
    if (verdict != "value") continue;  // plistlib itself failed
    ASSERT_TRUE(value) << "plistlib reads it";
    EXPECT_EQ(typedPlist(*value), meta["value"]);
    ++values;
    const std::string xml = PropertyList::toXml(*value);
    if (meta["xml"] == "yes") {
      EXPECT_FALSE(xml.empty());
      writeFile(base + ".out.xml", xml);
      ++xmlWritten;
      if (meta["canonical"] == true) {
        EXPECT_EQ(xml, bytes);
        ++sameText;
      }
    } else if (meta["xml"] == "no") {
      EXPECT_TRUE(xml.empty()) << xml;
      ++xmlRefused;
    }
    if (meta["binary"] == "yes") {
      const std::string bin = PropertyList::toBinary(*value);
      EXPECT_FALSE(bin.empty());
      writeFile(base + ".out.bin", bin);
      ++binaryWritten;
    }
  }
  EXPECT_EQ(runCommand(python + " '" + script + "' check '" + dir.path() + "'", out), 0) << out;
  std::cout << "plistlib peer: " << documents << " documents; " << values << " read equal, "
            << refused << " refused as plistlib refuses them; " << xmlWritten << " XML ("
            << sameText << " byte for byte as plistlib) and " << binaryWritten
            << " binary written and read back equal; " << xmlRefused
            << " values refused as XML as plistlib refuses them\n";
}
