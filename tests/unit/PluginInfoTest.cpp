// The plug-in info plist: the showings counter and the recorded version.
#include <gtest/gtest.h>

#include "AppURL.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Files/PropertyList.h"
#include "Platform/Process/Environment.h"
#include "PluginInfo/PluginInfo.h"
#include "TestSupport.h"

using namespace quillbox;
using quillbox::PlistValue;

namespace {

std::string plist(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + body +
         "</dict></plist>\n";
}

}  // namespace

TEST(PluginInfo, CountsShowingsAndRecordsTheVersion) {
  TempDir box;
  TempDir bundle;
  ScopedSettings settings;
  settings.set("QUILLBOX_MAIN_BUNDLE", bundle.path());
  ScopedContainer container(box.path());
  const std::string file = box.path() + "/Library/Plugin/PluginInfo.plist";
  const struct {
    const char* name;
    std::string before;         // "" for no file
    std::string bundleVersion;  // "" for none in the main bundle
    int64_t update;
    std::string version;
  } cases[] = {
      {"no file", "", "1.0.2", 1, "1.0.2"},
      {"0", plist("<key>update</key><integer>0</integer>"), "1.0.2", 1, "1.0.2"},
      {"98", plist("<key>update</key><integer>98</integer>"), "1.0.2", 99, "1.0.2"},
      {"99 wraps", plist("<key>update</key><integer>99</integer>"), "1.0.2", 0, "1.0.2"},
      {"non-numeric", plist("<key>update</key><string>abc</string>"), "1.0.2", 1, "1.0.2"},
      {"no bundle version",
       plist("<key>version</key><string>0.9</string><key>update</key><integer>5</integer>"), "", 6,
       "0.9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(box.path() + "/Library");
    if (!c.before.empty()) {
      std::filesystem::create_directories(box.path() + "/Library/Plugin");
      writeFile(file, c.before);
    }
    writeFile(bundle.file("Info.plist"),
              c.bundleVersion.empty() ? plist("")
                                      : plist("<key>CFBundleShortVersionString</key><string>" +
                                              c.bundleVersion + "</string>"));
    ASSERT_TRUE(PluginInfo::writePluginInfo());
    auto info = PluginInfo::readPluginInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->find("update") ? info->find("update")->asInteger() : std::nullopt, c.update);
    EXPECT_EQ(info->getString("version"), c.version);
  }
  // A whole cycle: the counter reads 0 once every hundred showings.
  int zeros = 0;
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(PluginInfo::writePluginInfo());
    zeros += PluginInfo::readPluginInfo()->getInteger("update") == 0;
  }
  EXPECT_EQ(zeros, 1);
}

TEST(PluginInfo, UnreadableFileOrUnknownContainerIsLeftAlone) {
  TempDir box;
  ScopedContainer container(box.path());
  std::filesystem::create_directories(box.path() + "/Library/Plugin");
  const std::string file = box.path() + "/Library/Plugin/PluginInfo.plist";
  for (const std::string& bytes : {std::string("not a plist"), plist("").substr(0, 30),
                                   std::string("<plist><array/></plist>")}) {
    writeFile(file, bytes);
    EXPECT_FALSE(PluginInfo::writePluginInfo());
    EXPECT_FALSE(PluginInfo::readPluginInfo());
    EXPECT_EQ(platform::FileSystem::Default().readFile(file), bytes);
  }
  AppURL::sharedAppURL().setAppURL("");
  EXPECT_FALSE(PluginInfo::writePluginInfo());
  EXPECT_FALSE(PluginInfo::readPluginInfo());
}
