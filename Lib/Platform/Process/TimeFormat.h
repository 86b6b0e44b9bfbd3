// TimeFormat: the text forms of a moment, in the local time zone or in UTC.
//
// format() is strftime with two additions: "%L" gives the milliseconds (three
// digits) and "%:z" the zone offset with a colon ("+08:00"). The system's
// forms: the log's "%Y-%m-%d %H:%M:%S.%L", the UI journal's
// "%Y-%m-%dT%H:%M:%S.%L%:z", file names' "%Y%m%d_%H%M%S", proofs'
// "%Y-%m-%dT%H:%M:%S.%LZ" in UTC. Safe from any thread.
#pragma once

#include <chrono>
#include <ctime>
#include <string>

namespace quillbox::platform {

class TimeFormat {
 public:
  enum class Zone { Local, Utc };
  using TimePoint = std::chrono::system_clock::time_point;

  // The calendar fields of `t`.
  static std::tm calendar(TimePoint t, Zone zone);
  // `t` in the strftime `format` (with "%L" and "%:z"); "" for a format whose
  // text would exceed 256 bytes.
  static std::string format(TimePoint t, const std::string& format, Zone zone);
};

}  // namespace quillbox::platform
