// WaylandScreen: the outputs of a Wayland compositor, read with its screen copy
// protocol (zwlr_screencopy_manager_v1, as wlroots compositors offer it).
//
// Each capture connects to the compositor at WAYLAND_DISPLAY (wayland-0 when
// unset), learns every output's name, logical position and size (xdg-output
// where offered, else wl_output's geometry, mode, scale and transform), has
// the compositor copy each output's next frame into a shared-memory buffer
// (without the cursor), turns every buffer upright and composes them by their
// logical positions into one picture (ScreenComposer), and disconnects. A
// compositor that offers no screen copy is refused as such (the caller may
// take the desktop portal instead); one that does not deliver within 5 s is
// refused as a time-out. Captures are serialised by a mutex.
#pragma once

#include <chrono>
#include <mutex>

#include "Platform/Media/Screen.h"

namespace quillbox::platform {

class WaylandScreen final : public Screen {
 public:
  // `timeout` bounds one whole capture, from connecting to the last frame.
  explicit WaylandScreen(std::chrono::milliseconds timeout = std::chrono::seconds(5));

  ScreenCapture capture() override;

 private:
  const std::chrono::milliseconds timeout_;
  std::mutex mu_;
};

}  // namespace quillbox::platform
