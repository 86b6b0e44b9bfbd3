#include "Platform/Process/Log.h"

#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

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
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t t = system_clock::to_time_t(now);
  int ms = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm tm{};
  localtime_r(&t, &tm);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  std::string out = strprintf("%s.%03d %s[%d] ", stamp, ms, programName().c_str(), getpid());
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
