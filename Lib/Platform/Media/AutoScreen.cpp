#include "Platform/Media/AutoScreen.h"

#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"

namespace quillbox::platform {
namespace {

constexpr const char* kNoDisplay =
    "no display: neither WAYLAND_DISPLAY nor DISPLAY is set (run vigild inside the desktop "
    "session, or import its display into the user manager: systemctl --user "
    "import-environment WAYLAND_DISPLAY DISPLAY, then restart vigild)";
constexpr const char* kBothFailed = "%s; the desktop portal neither: %s";

}  // namespace

bool AutoScreen::sessionHasDisplay() {
  return !Environment::get("WAYLAND_DISPLAY").empty() ||
         Environment::get("XDG_SESSION_TYPE") == "wayland" || !Environment::get("DISPLAY").empty();
}

std::string AutoScreen::sessionRoad() {
  const std::string wayland = Environment::get("WAYLAND_DISPLAY");
  if (!wayland.empty() || Environment::get("XDG_SESSION_TYPE") == "wayland")
    return strprintf(
        "wayland (WAYLAND_DISPLAY=%s; the compositor's screen copy, else the "
        "desktop portal)",
        wayland.c_str());
  const std::string x11 = Environment::get("DISPLAY");
  if (!x11.empty()) return strprintf("x11 (DISPLAY=%s)", x11.c_str());
  return "none (neither WAYLAND_DISPLAY nor DISPLAY is set)";
}

ScreenCapture AutoScreen::capture() {
  std::lock_guard<std::mutex> lock(mu_);
  const bool wayland = !Environment::get("WAYLAND_DISPLAY").empty() ||
                       Environment::get("XDG_SESSION_TYPE") == "wayland";
  if (wayland) {
    ScreenCapture direct = wayland_.capture();
    // A time-out or a broken frame is the compositor's answer: no second road
    // would read a different screen, so it is reported as it is.
    if (direct || (direct.failure != ScreenFailure::CompositorWithoutCapture &&
                   direct.failure != ScreenFailure::NoDisplay))
      return direct;
    ScreenCapture viaPortal = portal_.capture();
    if (viaPortal) return viaPortal;
    viaPortal.reason = strprintf(kBothFailed, direct.reason.c_str(), viaPortal.reason.c_str());
    return viaPortal;
  }
  if (!Environment::get("DISPLAY").empty()) return x11_.capture();
  return ScreenCapture::refused(ScreenFailure::NoDisplay, kNoDisplay);
}

}  // namespace quillbox::platform
