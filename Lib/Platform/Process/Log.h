// Log: the system's fixed log lines, one a line.
//
// Lines go to standard error (journald takes them under systemd) and, when
// QUILLBOX_SYSLOG is set, to syslog as well. Safe for concurrent use from any
// thread: a line is written with one call and never interleaves with another.
#pragma once

#include <functional>
#include <string>

#include "PropertyList/strprintf.h"

namespace quillbox::platform {

class Log {
 public:
  // Writes one line (a trailing newline is added).
  static void line(const std::string& text);
  // Formats and writes one line.
  static void printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

  // Tests: every line also goes to `sink` (nullptr to stop). Thread-safe.
  static void setSinkForTesting(std::function<void(const std::string&)> sink);
  // Name shown at the start of each line (default: the program's name).
  static void setProgramName(const std::string& name);
};

}  // namespace quillbox::platform

// The original system's NSLog: one formatted log line.
#define NSLog(...) ::quillbox::platform::Log::printf(__VA_ARGS__)
