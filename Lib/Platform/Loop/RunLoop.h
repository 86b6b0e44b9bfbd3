// RunLoop: the event loop of one thread.
//
// Every thread may have one loop; it is created on first use by current().
// A loop waits for and dispatches four kinds of work, all on its own thread:
// functions handed over with perform(), timers, readable file descriptors
// (fd sources, for Platform code) and stop requests. run() may be nested: a
// callback may call run() again on the same loop (the shutter sound does, to
// wait for its end), and stop() ends only the innermost active run().
//
// The main loop is the loop of the process's main thread: the thread that
// called markMainThread(), else the process's initial thread. Notifications,
// timers, prompts and everything that touches the interface run there.
//
// Thread safety: every operation except run() and runFor() may be called from
// any thread without external synchronisation. run() and runFor() must be
// called on the loop's own thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace quillbox::platform {

class RunLoop {
 public:
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;
  ~RunLoop();

  // This thread's loop, created on first use. It lives as long as the thread
  // (or longer, while someone holds currentShared()).
  static RunLoop& current();
  static std::shared_ptr<RunLoop> currentShared();
  // The main thread's loop; may be called from any thread, also before the
  // main thread has touched its loop. Lives for the whole process.
  static RunLoop& main();
  // Makes the calling thread the main thread. Call it early in main(), before
  // other threads ask for RunLoop::main(); the default is the initial thread.
  static void markMainThread();
  static bool isMainThread();

  // Dispatches work until stop() ends this run. Nested runs are allowed.
  // A stop() requested while no run was active ends the next run at once.
  // REQUIRES: called on the loop's own thread.
  void run();
  // Like run(), but returns after `d` at the latest.
  // Gives true when stop() ended the run, false when the time ran out.
  // REQUIRES: called on the loop's own thread.
  bool runFor(std::chrono::milliseconds d);
  // Ends the innermost active run (or the next run if none is active).
  void stop();
  // True while at least one run() / runFor() of this loop is active.
  bool isRunning() const;

  // Calls fn on the loop's thread after `interval`, and every `interval`
  // after that when `repeats` (a repeating interval below 1 ms counts as
  // 1 ms). Gives the timer's id (never 0). A timer whose callback is running
  // does not fire again inside a nested run() of that callback.
  uint64_t addTimer(std::chrono::milliseconds interval, bool repeats, std::function<void()> fn);
  // After this returns the timer fires no more (a callback already running on
  // the loop's thread completes). Unknown ids are ignored.
  void cancelTimer(uint64_t id);

  // Calls onReadable on the loop's thread whenever `fd` is readable (or has
  // hung up / failed: the callback then reads EOF or an error and should
  // remove the source). The loop does not own the fd. A source is not
  // re-entered from a nested run() inside its own callback.
  uint64_t addFdSource(int fd, std::function<void()> onReadable);
  // After this returns the source is no longer polled nor called (a callback
  // already running on the loop's thread completes). Unknown ids are ignored.
  void removeFdSource(uint64_t id);

  // Queues fn to run on the loop's thread, in the order of the calls.
  void perform(std::function<void()> fn);

 private:
  struct Impl;
  explicit RunLoop(long ownerTid);
  bool runUntil(std::chrono::steady_clock::time_point deadline, bool hasDeadline);
  std::unique_ptr<Impl> impl_;
};

// Runs fn on the main thread. With waitUntilDone the caller blocks until fn
// has run (fn runs inline when the caller is the main thread); otherwise fn is
// queued on the main loop and the call returns at once.
// REQUIRES (waitUntilDone from another thread): the main thread runs its loop.
void performOnMainThread(std::function<void()> fn, bool waitUntilDone);

}  // namespace quillbox::platform
