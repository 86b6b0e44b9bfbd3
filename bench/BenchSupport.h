// Small timing helpers shared by the benchmarks.
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

// Milliseconds since `t`.
inline double msSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// CPU time this thread has used, in milliseconds (user and system, to the
// microsecond): a figure the machine's other load does not inflate the way
// wall time is.
inline double threadCpuMs() {
  rusage used{};
  getrusage(RUSAGE_THREAD, &used);
  auto ms = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
  };
  return ms(used.ru_utime) + ms(used.ru_stime);
}

// The median of `v` (0 for none).
inline double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace bench
