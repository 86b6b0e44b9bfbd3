#include "Platform/Process/Clock.h"

#include <atomic>
#include <thread>

namespace quillbox::platform {

namespace {

class SystemClock final : public Clock {
 public:
  std::chrono::system_clock::time_point now() override { return std::chrono::system_clock::now(); }
  std::chrono::steady_clock::time_point monotonicNow() override {
    return std::chrono::steady_clock::now();
  }
  void sleepFor(std::chrono::milliseconds duration) override {
    if (duration.count() > 0) std::this_thread::sleep_for(duration);
  }
};

std::atomic<Clock*> g_override{nullptr};

}  // namespace

Clock& Clock::Default() {
  if (Clock* o = g_override.load()) return *o;
  static auto* system = new SystemClock;  // outlives detached threads that sleep
  return *system;
}

Clock* Clock::setDefaultForTesting(Clock* clock) {
  return g_override.exchange(clock);
}

}  // namespace quillbox::platform
