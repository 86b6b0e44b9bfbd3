// Threads: every thread of the system is started here, named and counted.
//
// A thread started by startThread() runs on its own (nobody joins it). While
// it runs it is counted under its name, so that a program about to end, or a
// test, can wait for the threads it cares about. When its function returns
// (or raises: the exception is logged), the thread first frees what the TLS
// library keeps for it (any request, digest or signature makes such state;
// freeing none costs nothing), and only then stops counting:
// a process that ends once the count is zero leaves nothing behind. A thread
// that cannot be started is reported to the caller, never a crash.
//
// Threads::Default() starts real threads; tests install a double (often a
// ThreadsWrapper that runs some functions inline or drops them) with
// setDefaultForTesting(). Safe for concurrent use from any thread.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <utility>

#include "Platform/Process/Outcome.h"

namespace quillbox::platform {

class Threads {
 public:
  // The kernel keeps this many bytes of a thread's name; longer names are cut.
  static constexpr size_t kMaxNameLength = 15;

  Threads() = default;
  Threads(const Threads&) = delete;
  Threads& operator=(const Threads&) = delete;
  virtual ~Threads() = default;

  // The process-wide instance (real threads unless a test replaced it).
  static Threads& Default();
  // REQUIRES: threads outlives its use; nullptr restores real threads. Gives
  // the double installed before (nullptr: none).
  static Threads* setDefaultForTesting(Threads* threads);

  // Runs fn on a new thread named `name`. On failure (the system has no
  // thread to give) fn is not run, a line is logged and the reason returned.
  virtual Outcome startThread(const std::string& name, std::function<void()> fn) = 0;
  // Threads started by startThread() that still run and whose name begins
  // with `prefix` ("" counts all).
  virtual int liveThreads(const std::string& prefix) = 0;
  // Waits until liveThreads(prefix) is 0 or `timeout` has passed; true when
  // none is left.
  virtual bool waitForThreads(const std::string& prefix, std::chrono::milliseconds timeout) = 0;

  // Frees what the TLS library keeps for the calling thread now (its random
  // generators, its error queue). For a worker that reports its end to
  // someone who may end the process at once: it calls this before it
  // reports. Later requests on the thread make the state anew.
  static void releaseThreadState();
};

// Forwards every call to another instance; tests override what they need.
class ThreadsWrapper : public Threads {
 public:
  explicit ThreadsWrapper(Threads& target) : target_(target) {}
  Outcome startThread(const std::string& name, std::function<void()> fn) override {
    return target_.startThread(name, std::move(fn));
  }
  int liveThreads(const std::string& prefix) override { return target_.liveThreads(prefix); }
  bool waitForThreads(const std::string& prefix, std::chrono::milliseconds timeout) override {
    return target_.waitForThreads(prefix, timeout);
  }

 protected:
  Threads& target_;
};

}  // namespace quillbox::platform
