// DesktopUserInterface: the user-interface kit on a person's desktop.
//
// Speaks the freedesktop Desktop Notifications protocol on the session D-Bus
// (sd-bus). A toast is a notification that expires after its duration. An
// alert is a notification that never expires: its title is the summary, its
// labels are the body, its buttons are the actions (action key = button
// index, in order) and its first picture is the "image-path" hint (a file://
// URI). A clicked action answers the alert with that index ("by": "user") on
// the main run loop; a notification closed without an action leaves the alert
// unanswered. An answered alert, by its own action or elsewhere (another
// backend, a policy), is taken off the desktop (CloseNotification). Status-bar messages replace one
// another in one notification (its id is reused). The idle-timer switch holds an inhibitor of
// org.freedesktop.ScreenSaver where the session has one; openURL hands the URL
// to xdg-open.
//
// Signals (ActionInvoked, NotificationClosed) are taken only from the unique
// bus name that owns org.freedesktop.Notifications (the sender of the replies
// to our Notify calls) and only for ids that this instance created; others are
// ignored. The bus is served on the main run loop through an fd source.
//
// Thread safety: safe for concurrent use from any thread; calls are
// synchronous D-Bus round trips bounded by a timeout.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "Platform/UI/UserInterface.h"

namespace quillbox::platform {

class DesktopUserInterface : public UserInterface {
 public:
  // Connects to the session bus (DBUS_SESSION_BUS_ADDRESS, else
  // $XDG_RUNTIME_DIR/bus) and serves it on the main run loop. nullptr (with a
  // log line when `quiet` is false) when there is no session bus.
  static std::shared_ptr<DesktopUserInterface> connect(bool quiet = false);
  // The backend for a QUILLBOX_UI part: "desktop" connects; nullptr for
  // another part, or (with a log line) when no session bus is reachable.
  static std::shared_ptr<DesktopUserInterface> fromSettings(const std::string& ui);

  ~DesktopUserInterface() override;

  // true when a notification server answers on the bus (D-Bus activation
  // allowed) within a short timeout.
  bool hasNotificationServer();

  void showToast(const std::string& text, ToastPosition pos, int durationMs) override;
  void showAlert(std::shared_ptr<AlertView> alert) override;
  void showStatusBarMessage(const std::string& text, StatusBarKind kind, int durationMs,
                            bool animated) override;
  void openURL(const std::string& url) override;
  void setIdleTimerDisabled(bool disabled) override;
  // Closes every toast still shown and returns once the server has confirmed
  // each close (NotificationClosed), or after kHideTimeout.
  void hideToasts() override;
  // Closes every notification this instance shows (toasts, prompts, the
  // status message); returns once the server has taken each down.
  void withdrawAll() override;

  static constexpr std::chrono::milliseconds kHideTimeout{1500};

 private:
  struct Impl;
  explicit DesktopUserInterface(std::shared_ptr<Impl> impl);
  std::shared_ptr<Impl> impl_;  // shared with the fd source and queued answers
};

}  // namespace quillbox::platform
