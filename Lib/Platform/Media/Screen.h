// Screen: the whole screen as an RGBA image, or the reason there is none.
//
// Screen::Default() is chosen on first use by Environment::screen():
//   "auto"        the default: in a Wayland session (WAYLAND_DISPLAY, or
//                 XDG_SESSION_TYPE=wayland) the compositor's own copy of its
//                 outputs ("wayland") where it offers one, else the desktop
//                 portal ("portal"); in an X11 session "x11"; an X server that
//                 is XWayland is never read; no display at all is refused.
//                 The choice is made again at every capture (AutoScreen);
//   "x11"         the X display named by DISPLAY (X11Screen; XWayland refused);
//   "wayland"     the wlr screen copy protocol of the compositor at
//                 WAYLAND_DISPLAY, every output composed (WaylandScreen);
//   "portal"      org.freedesktop.portal.Screenshot on the session bus (PortalScreen);
//   "file:PATH"   the PNG at PATH stands for the screen (read again on every capture);
//   "synthetic"   a generated phone-sized picture (a gradient, some shapes and the
//                 current time drawn in blocks); "synthetic:WxH" gives another size.
// The file and synthetic screens are for demonstrations and tests: nothing
// falls back to them. Tests replace the default with setDefaultForTesting().
// capture() on one Screen may be called from any thread; calls are serialised
// inside the implementation.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Media/Image.h"

namespace quillbox::platform {

// Why a capture gave no picture.
enum class ScreenFailure {
  None,
  NoDisplay,                 // no display to read, or it cannot be reached
  XWaylandOnly,              // the X display is XWayland and no Wayland display is known
  CompositorWithoutCapture,  // the Wayland compositor offers no screen copy
  PortalUnavailable,         // no session bus or no desktop portal on it
  PortalCancelled,           // the portal's request ended with response 1
  PortalFailed,              // the portal refused or failed (response 2, an error)
  TimedOut,                  // the compositor or the portal did not answer in time
  Unreadable,                // the screen's data could not be read or decoded
};

// One output (monitor) of the picture, in the desktop's logical coordinates.
struct ScreenOutput {
  std::string name;  // "HEADLESS-1", "eDP-1", an X monitor's name
  int x = 0, y = 0, width = 0, height = 0;
  double scale = 1.0;                // picture pixels per logical unit of this output
  std::string transform = "normal";  // "normal", "90", "180", "270", "flipped", "flipped-90", ...
};

// How the picture was read: "x11", "wayland", "portal", "file" or "synthetic",
// and the outputs it shows (none known for the portal and the stand-ins).
struct ScreenSource {
  std::string method;
  std::vector<ScreenOutput> outputs;
};

// The result of one capture: the picture and where it came from, or the
// failure with one line naming its cause and what to do about it.
struct ScreenCapture {
  std::optional<Image> image;
  ScreenSource source;
  ScreenFailure failure = ScreenFailure::None;
  std::string reason;

  static ScreenCapture of(Image img, ScreenSource src);
  static ScreenCapture refused(ScreenFailure why, std::string reason);

  explicit operator bool() const { return image.has_value(); }
  Image& operator*() { return *image; }
  const Image& operator*() const { return *image; }
  Image* operator->() { return &*image; }
  const Image* operator->() const { return &*image; }
};

class Screen {
 public:
  Screen() = default;
  Screen(const Screen&) = delete;
  Screen& operator=(const Screen&) = delete;
  virtual ~Screen() = default;

  // The process-wide screen. A setting that create() refuses gives a screen
  // that refuses every capture, naming the setting.
  static Screen& Default();
  // A screen for `setting` ("auto" | "x11" | "wayland" | "portal" | "file:PATH" |
  // "synthetic" | "synthetic:WxH"); nullptr and a log line for an unknown or
  // malformed setting. Creating a screen connects to nothing yet: a missing
  // display shows at capture().
  static std::unique_ptr<Screen> create(const std::string& setting);
  // REQUIRES: s outlives its use; nullptr restores the screen chosen by the
  // environment. Gives the double installed before (nullptr: none).
  static Screen* setDefaultForTesting(Screen* s);

  // The current screen contents (opaque RGBA) with their source; on failure no
  // image, the failure and its reason (nothing is logged here: the caller says it).
  virtual ScreenCapture capture() = 0;
};

// Forwards every call to another screen; tests override what they need.
class ScreenWrapper : public Screen {
 public:
  explicit ScreenWrapper(Screen& target) : target_(target) {}
  ScreenCapture capture() override { return target_.capture(); }

 protected:
  Screen& target_;
};

// The picture of the synthetic screen at the given time of day: the same
// arguments always give the same pixels. Sizes below 1 give an empty Image.
Image renderSyntheticScreen(int width, int height, int hour, int minute, int second);

}  // namespace quillbox::platform
