// X11Screen: the root window of an X display as the screen.
//
// Connects on the first capture to the display named by DISPLAY and keeps the
// connection; an XWayland server is refused (its root window is not the
// screen: it shows only X clients, black elsewhere); reads the root window with XShmGetImage
// through a shared-memory segment when the server offers MIT-SHM (and the segment can be attached),
// else with XGetImage. A lost connection is dropped and made again on the next
// capture. X errors are recorded, never fatal. Safe for concurrent use: captures
// are serialised by a mutex.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

#include "Platform/Media/Screen.h"

namespace quillbox::platform {

class X11Screen final : public Screen {
 public:
  X11Screen();
  ~X11Screen() override;

  ScreenCapture capture() override;

  // Whether the last successful capture went through shared memory (for tests and the benchmark).
  bool usedSharedMemory() const;

 private:
  struct Connection;
  std::mutex mu_;
  std::unique_ptr<Connection> conn_;  // guarded by mu_
  std::atomic<bool> lastShm_{false};
};

}  // namespace quillbox::platform
