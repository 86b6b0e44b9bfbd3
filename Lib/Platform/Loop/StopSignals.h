// StopSignals: SIGTERM and SIGINT as a request to stop, served on the main run loop.
//
// A program that must tidy up before it ends (remove its notification socket,
// take its notifications off the desktop) installs a handler once. From then
// on the first SIGTERM or SIGINT no longer ends the process: the handler is
// called on the main run loop (RunLoop::main()), where the program stops its
// loop and returns from main. A second signal of either kind ends the process
// at once, as it would have without the handler; so does the first one when
// the main loop has not ended the process within kGraceSeconds (its thread
// may be held up, a capture waiting for its screen).
//
// The signal handler only writes to a pipe that the main loop watches and
// sets an alarm (SIGALRM is this class's from install() on).
// Thread safety: install() once, from the main thread, before other threads start.
#pragma once

#include <functional>

namespace quillbox::platform {

class StopSignals {
 public:
  static constexpr unsigned kGraceSeconds = 8;

  // Gives false (with a log line) when the pipe or the handlers could not be set up.
  static bool install(std::function<void(int signal)> onStop);
  // "SIGTERM", "SIGINT", or "signal".
  static const char* name(int signal);
};

}  // namespace quillbox::platform
