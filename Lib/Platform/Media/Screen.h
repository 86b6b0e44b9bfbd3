// Screen: the whole screen as an RGBA image.
//
// Screen::Default() is chosen on first use by Environment::screen():
//   "x11"         the X display named by DISPLAY (XGetImage of the root window,
//                 through shared memory when the server offers MIT-SHM);
//   "file:PATH"   the PNG at PATH stands for the screen (read again on every capture);
//   "synthetic"   a generated phone-sized picture (a gradient, some shapes and the
//                 current time drawn in blocks), the default without a display;
//                 "synthetic:WxH" gives another size.
// Tests replace the default with setDefaultForTesting() (often a ScreenWrapper
// that overrides capture()). capture() on one Screen
// may be called from any thread; calls are serialised inside the implementation.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Platform/Media/Image.h"

namespace quillbox::platform {

class Screen {
 public:
  Screen() = default;
  Screen(const Screen&) = delete;
  Screen& operator=(const Screen&) = delete;
  virtual ~Screen() = default;

  // The process-wide screen. A setting that create() refuses falls back to "synthetic".
  static Screen& Default();
  // A screen for `setting` ("x11" | "file:PATH" | "synthetic" | "synthetic:WxH");
  // nullptr and a log line for an unknown or malformed setting. Creating an "x11"
  // screen does not connect yet: a missing display shows at capture().
  static std::unique_ptr<Screen> create(const std::string& setting);
  // REQUIRES: s outlives its use; nullptr restores the screen chosen by the
  // environment. Gives the double installed before (nullptr: none).
  static Screen* setDefaultForTesting(Screen* s);

  // The current screen contents (opaque RGBA); nullopt and a log line on failure
  // (no display, unreadable or malformed file).
  virtual std::optional<Image> capture() = 0;
};

// Forwards every call to another screen; tests override what they need.
class ScreenWrapper : public Screen {
 public:
  explicit ScreenWrapper(Screen& target) : target_(target) {}
  std::optional<Image> capture() override { return target_.capture(); }

 protected:
  Screen& target_;
};

// The picture of the synthetic screen at the given time of day: the same
// arguments always give the same pixels. Sizes below 1 give an empty Image.
Image renderSyntheticScreen(int width, int height, int hour, int minute, int second);

}  // namespace quillbox::platform
