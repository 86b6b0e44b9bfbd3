// PortalScreen: the screen as the desktop portal gives it
// (org.freedesktop.portal.Screenshot on the session bus), for desktops whose
// compositor lets no client copy the screen itself (GNOME, KDE Plasma).
//
// Each capture asks Screenshot without the interactive dialog, with a
// handle_token of its own, and waits for the Request's Response signal (from
// the portal that answered the call): 0 gives a file:// URI whose PNG is read;
// 1 (cancelled) and 2 (failed) are refused as such, and so is no answer within
// the time-out (the request is then closed). The file is removed once read
// when the portal wrote it for this request (a regular file of this user,
// modified since the request was made); no other file is touched. The first
// request on GNOME may ask the person for permission. Captures are serialised.
#pragma once

#include <chrono>
#include <mutex>

#include "Platform/Media/Screen.h"

namespace quillbox::platform {

class PortalScreen final : public Screen {
 public:
  // `timeout` bounds one whole capture, from the call to the read file.
  explicit PortalScreen(std::chrono::milliseconds timeout = std::chrono::seconds(30));

  ScreenCapture capture() override;

 private:
  const std::chrono::milliseconds timeout_;
  std::mutex mu_;
  unsigned requests_ = 0;  // guarded by mu_
};

}  // namespace quillbox::platform
