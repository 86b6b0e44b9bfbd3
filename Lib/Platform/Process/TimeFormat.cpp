#include "Platform/Process/TimeFormat.h"

#include <cstdio>

namespace quillbox::platform {

std::tm TimeFormat::calendar(TimePoint t, Zone zone) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  if (zone == Zone::Utc)
    gmtime_r(&seconds, &tm);
  else
    localtime_r(&seconds, &tm);
  return tm;
}

std::string TimeFormat::format(TimePoint t, const std::string& format, Zone zone) {
  // to_time_t may round; the fields and the milliseconds come from the same second.
  const auto second = std::chrono::floor<std::chrono::seconds>(t);
  const std::tm tm = calendar(second, zone);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - second).count();
  std::string expanded;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%' || i + 1 == format.size()) {
      expanded += format[i];
    } else if (format[i + 1] == 'L') {
      char digits[8];
      std::snprintf(digits, sizeof digits, "%03d", static_cast<int>(ms));
      expanded += digits;
      ++i;
    } else if (format.compare(i + 1, 2, ":z") == 0) {
      char zone[8] = {};
      std::strftime(zone, sizeof zone, "%z", &tm);  // "+0800"
      std::string z(zone);
      expanded += z.size() == 5 ? z.substr(0, 3) + ":" + z.substr(3) : z;
      i += 2;
    } else {
      expanded.append(format, i, 2);  // "%%" stays whole for strftime
      ++i;
    }
  }
  char out[256];
  const size_t n = std::strftime(out, sizeof out, expanded.c_str(), &tm);
  return std::string(out, n);
}

}  // namespace quillbox::platform
