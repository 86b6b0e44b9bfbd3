// Clock: the time of day, a clock that never goes back, and sleeping.
//
// Clock::Default() reads the system's clocks and sleeps the calling thread;
// tests install a double (often a ClockWrapper that overrides sleepFor() to
// count or skip the waits) with setDefaultForTesting(). Safe for concurrent
// use from any thread.
#pragma once

#include <chrono>

namespace quillbox::platform {

class Clock {
 public:
  Clock() = default;
  Clock(const Clock&) = delete;
  Clock& operator=(const Clock&) = delete;
  virtual ~Clock() = default;

  // The process-wide clock (the system's unless a test replaced it).
  static Clock& Default();
  // REQUIRES: clock outlives its use; nullptr restores the system's clock.
  // Gives the double installed before (nullptr: none).
  static Clock* setDefaultForTesting(Clock* clock);

  // The time of day: for dates that are shown or stored.
  virtual std::chrono::system_clock::time_point now() = 0;
  // A clock that never goes back: for deadlines and intervals.
  virtual std::chrono::steady_clock::time_point monotonicNow() = 0;
  // Blocks the calling thread for about `duration` (none for zero or less).
  virtual void sleepFor(std::chrono::milliseconds duration) = 0;
};

// Forwards every call to another clock; tests override what they need.
class ClockWrapper : public Clock {
 public:
  explicit ClockWrapper(Clock& target) : target_(target) {}
  std::chrono::system_clock::time_point now() override { return target_.now(); }
  std::chrono::steady_clock::time_point monotonicNow() override { return target_.monotonicNow(); }
  void sleepFor(std::chrono::milliseconds duration) override { target_.sleepFor(duration); }

 protected:
  Clock& target_;
};

}  // namespace quillbox::platform
