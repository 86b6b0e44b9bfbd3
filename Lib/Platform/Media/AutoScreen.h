// AutoScreen: the screen of the session this process runs in, chosen anew at
// every capture from the environment.
//
// A Wayland session (WAYLAND_DISPLAY set, or XDG_SESSION_TYPE=wayland): the
// compositor's screen copy (WaylandScreen); where the compositor offers none,
// or cannot be reached, the desktop portal (PortalScreen). Else an X display
// (DISPLAY): X11Screen, which refuses XWayland (its root window is not the
// screen). Else the capture is refused: no display. Nothing falls back to a
// made-up picture. Captures are serialised.
#pragma once

#include <mutex>
#include <string>

#include "Platform/Media/PortalScreen.h"
#include "Platform/Media/Screen.h"
#include "Platform/Media/WaylandScreen.h"
#include "Platform/Media/X11Screen.h"

namespace quillbox::platform {

class AutoScreen final : public Screen {
 public:
  ScreenCapture capture() override;
  // Whether this process's environment names a display of the session
  // (WAYLAND_DISPLAY, XDG_SESSION_TYPE=wayland or DISPLAY).
  static bool sessionHasDisplay();
  // The road a capture would take now, for a log line: "wayland (WAYLAND_DISPLAY=...;
  // the compositor's screen copy, else the desktop portal)", "x11 (DISPLAY=...)" or
  // "none (neither WAYLAND_DISPLAY nor DISPLAY is set)".
  static std::string sessionRoad();

 private:
  std::mutex mu_;
  X11Screen x11_;
  WaylandScreen wayland_;
  PortalScreen portal_;
};

}  // namespace quillbox::platform
