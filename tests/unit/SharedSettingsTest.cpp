// The client application's settings as the capture reads them: the countdown
// and the upload gate on the client's version.
#include <gtest/gtest.h>

#include <filesystem>

#include "AppURL.h"
#include "Platform/Files/PropertyList.h"
#include "SharedSettings.h"
#include "TestSupport.h"

using namespace quillbox;
using namespace quillbox::platform;

TEST(SharedSettingsTest, CountdownDefaultsToFiveAndIsCapped) {
  const std::pair<std::optional<PlistValue>, int> cases[] = {
      {std::nullopt, 5},
      {PlistValue::integer(0), 5},
      {PlistValue::integer(-3), 5},
      {PlistValue::integer(1), 1},
      {PlistValue("7"), 7},
      {PlistValue::integer(3600), 3600},
      {PlistValue::integer(3601), 3600},
      {PlistValue::integer(int64_t{1} << 40), 3600},
  };
  for (const auto& [value, seconds] : cases) {
    PlistDict settings;
    if (value) settings.set("screenshotsecond", *value);
    EXPECT_EQ(SharedSettings::countdownSeconds(settings), seconds)
        << (value ? value->stringValue() : "missing");
  }
}

TEST(SharedSettingsTest, UploadGateOpensStrictlyAboveTheThresholdVersion) {
  TempDir dir;
  std::filesystem::create_directories(dir.file("quillbox.app"));
  ScopedContainer container(dir.path());
  const std::pair<const char*, bool> cases[] = {
      {"1.3.07008", false}, {"1.3.07009", false}, {"1.3.0701", true},
      {"1.3.07010", true},  {"1.4", true},        {"", false},
  };
  for (const auto& [version, allowed] : cases) {
    PlistDict info;
    info.set("CFBundleVersion", PlistValue(version));
    ASSERT_TRUE(PropertyList::write(dir.file("quillbox.app/Info.plist"), PlistValue(info)));
    EXPECT_EQ(isUploadAllowed(), allowed) << version;
  }
}
