#include "Platform/Process/Log.h"

#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "Platform/Process/Clock.h"
#include "Platform/Process/TimeFormat.h"

namespace quillbox::platform {
namespace {

std::mutex& sinkMutex() {
  static std::mutex m;
  return m;
}
std::function<void(const std::string&)>& sink() {
  static std::function<void(const std::string&)> s;
  return s;
}
std::string& programName() {
  static std::string name = program_invocation_short_name;
  return name;
}

}  // namespace

void Log::line(const std::string& text) {
  const std::string stamp =
      TimeFormat::format(Clock::Default().now(), "%Y-%m-%d %H:%M:%S.%L", TimeFormat::Zone::Local);
  std::string out = strprintf("%s %s[%d] ", stamp.c_str(), programName().c_str(), getpid());
  out += text;
  out += '\n';
  // One write call per line keeps lines of concurrent threads apart.
  ssize_t ignored = ::write(STDERR_FILENO, out.data(), out.size());
  (void)ignored;
  static const bool useSyslog = std::getenv("QUILLBOX_SYSLOG") != nullptr;
  if (useSyslog) syslog(LOG_NOTICE, "%s", text.c_str());
  std::lock_guard<std::mutex> lock(sinkMutex());
  if (sink()) sink()(text);
}

void Log::printf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string s = vstrprintf(fmt, ap);
  va_end(ap);
  line(s);
}

void Log::setSinkForTesting(std::function<void(const std::string&)> s) {
  std::lock_guard<std::mutex> lock(sinkMutex());
  sink() = std::move(s);
}

void Log::setProgramName(const std::string& name) {
  programName() = name;
}

}  // namespace quillbox::platform
