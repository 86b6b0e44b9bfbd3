// TimeFormat: strftime forms with milliseconds ("%L") and a colon zone ("%:z").
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>

#include "Platform/Process/TimeFormat.h"

namespace quillbox::platform {
namespace {

TEST(TimeFormatTest, FormsOfOneMoment) {
  // 2015-01-01 01:05:07.123 UTC.
  const auto t = std::chrono::system_clock::time_point(std::chrono::milliseconds(1420074307123));
  struct Case {
    const char* format;
    TimeFormat::Zone zone;
    const char* want;
  };
  ::setenv("TZ", "CST-8", 1);  // +08:00 (a POSIX zone: no time-zone files needed)
  ::tzset();
  const Case cases[] = {
      {"%Y-%m-%dT%H:%M:%S.%LZ", TimeFormat::Zone::Utc, "2015-01-01T01:05:07.123Z"},
      {"%Y-%m-%dT%H:%M:%S.%L%:z", TimeFormat::Zone::Local, "2015-01-01T09:05:07.123+08:00"},
      {"%Y%m%d_%H%M%S", TimeFormat::Zone::Local, "20150101_090507"},
      {"100%% %L", TimeFormat::Zone::Utc, "100% 123"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TimeFormat::format(t, c.format, c.zone), c.want) << c.format;
  ::unsetenv("TZ");
  ::tzset();
}

}  // namespace
}  // namespace quillbox::platform
