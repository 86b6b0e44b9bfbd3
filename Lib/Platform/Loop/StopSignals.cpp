#include "Platform/Loop/StopSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "Platform/Loop/RunLoop.h"
#include "Platform/Process/Log.h"

namespace quillbox::platform {
namespace {

const char kSetupFailed[] = "StopSignals: cannot watch SIGTERM and SIGINT (%s)";

int g_writeFd = -1;
volatile sig_atomic_t g_requested = 0;  // the first stop signal, 0 before it

// Ends the process as `signal` does by default (async-signal-safe).
void endBy(int signal) {
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

void onStopSignal(int signal) {
  if (g_requested) {  // asked twice
    endBy(signal);
    return;
  }
  g_requested = signal;
  const int saved = errno;
  const auto byte = static_cast<unsigned char>(signal);
  ssize_t n = ::write(g_writeFd, &byte, 1);
  (void)n;
  // A main thread held up (a capture waiting for its screen) gets this long.
  ::alarm(StopSignals::kGraceSeconds);
  errno = saved;
}

void onGraceOver(int) {
  endBy(g_requested ? static_cast<int>(g_requested) : SIGTERM);
}

}  // namespace

bool StopSignals::install(std::function<void(int signal)> onStop) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    Log::printf(kSetupFailed, std::strerror(errno));
    return false;
  }
  g_writeFd = fds[1];
  const int readFd = fds[0];
  RunLoop::main().addFdSource(readFd, [readFd, onStop = std::move(onStop)] {
    unsigned char byte = 0;
    if (::read(readFd, &byte, 1) == 1) onStop(byte);
  });
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  struct sigaction grace {};
  grace.sa_handler = onGraceOver;
  sigemptyset(&grace.sa_mask);
  if (::sigaction(SIGTERM, &action, nullptr) != 0 || ::sigaction(SIGINT, &action, nullptr) != 0 ||
      ::sigaction(SIGALRM, &grace, nullptr) != 0) {
    Log::printf(kSetupFailed, std::strerror(errno));
    return false;
  }
  return true;
}

const char* StopSignals::name(int signal) {
  if (signal == SIGTERM) return "SIGTERM";
  if (signal == SIGINT) return "SIGINT";
  return "signal";
}

}  // namespace quillbox::platform
