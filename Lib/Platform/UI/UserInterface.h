// UserInterface: what the system shows to the person using it.
//
// Toasts, alerts with buttons and a delegate, status-bar overlay messages,
// opening a URL and the idle-timer switch. The process-wide instance comes
// from QUILLBOX_UI (Environment::ui()): one backend name or several joined by
// commas, each shown everything ("desktop" selects DesktopUserInterface:
// notifications on the session bus; "journal:PATH" or "journal:-" select
// JournalUserInterface: JSON lines, prompts answered by the QUILLBOX_PROMPT
// policy). Unset, it is "desktop" when a session bus is reachable and a
// notification server answers, else "journal:-". Another backend (the widget host's) is
// installed with setDefault(), a test double with setDefaultForTesting();
// UserInterfaceWrapper forwards every call so that a double overrides only what it needs.
//
// An alert shown by several backends is answered once: the first answer
// (a policy, a click on the desktop or on a page) wins, every backend that
// showed it is told through its answered hook, then the delegate is called.
//
// Thread safety: implementations are safe for concurrent use from any thread.
// Alert delegates are called on the main run loop.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quillbox::platform {

enum class ToastPosition { Center, Bottom };
enum class StatusBarKind { Plain, Finished };

// A picture or a label placed inside an alert, in the alert's own coordinates.
struct AlertSubview {
  enum class Kind { Picture, Label } kind = Kind::Label;
  double x = 0, y = 0, width = 0, height = 0;  // "frame": [x, y, w, h]
  std::string path;                            // picture: the image file
  std::string text, font;                      // label: its text and font ("system 14")
  std::array<double, 4> color{};               // label text colour r, g, b, a (0..1)
  std::string alignment;                       // label: "left", "center", "right"

  static AlertSubview picture(double x, double y, double w, double h, std::string path);
  static AlertSubview label(double x, double y, double w, double h, std::string text,
                            std::string font, std::array<double, 4> color, std::string alignment);
};

class AlertView;

// Told which button of an alert was tapped. Called on the main run loop.
class AlertViewDelegate {
 public:
  virtual ~AlertViewDelegate() = default;
  virtual void alertViewClickedButtonAtIndex(AlertView& alert, int index) = 0;
};

// A modal question with buttons. Button indexes: the cancel button (when it
// has a title) is index 0, the other buttons follow in the given order.
// Build it on one thread, then show it; it is not changed afterwards.
class AlertView : public std::enable_shared_from_this<AlertView> {
 public:
  // REQUIRES: `delegate` (may be null) outlives every answer to this alert.
  static std::shared_ptr<AlertView> create(std::string title, std::string message,
                                           AlertViewDelegate* delegate,
                                           std::string cancelButtonTitle,
                                           std::vector<std::string> otherButtonTitles);

  const std::string& title() const { return title_; }
  const std::string& message() const { return message_; }
  AlertViewDelegate* delegate() const { return delegate_; }
  void setDelegate(AlertViewDelegate* d) { delegate_ = d; }
  int tag() const { return tag_; }
  void setTag(int tag) { tag_ = tag; }

  const std::vector<std::string>& buttons() const { return buttons_; }  // index order
  int numberOfButtons() const { return static_cast<int>(buttons_.size()); }
  int cancelButtonIndex() const { return hasCancel_ ? 0 : -1; }
  // "" for an index out of range.
  std::string buttonTitleAtIndex(int index) const;

  void addSubview(AlertSubview v) { subviews_.push_back(std::move(v)); }
  const std::vector<AlertSubview>& subviews() const { return subviews_; }

  // Shows the alert through UserInterface::Default(); returns at once.
  void show();

  // Called with the answer when the alert is answered by anyone. A backend
  // that shows the alert adds one to record the answer or take its view down.
  using AnsweredHook = std::function<void(AlertView& alert, int index, const std::string& by)>;
  void addAnsweredHook(AnsweredHook hook);
  // Delivers an answer ("by": "policy" or "user"): the first one wins. Runs
  // the answered hooks, then the delegate. Returns false (with a log line for
  // an index outside the buttons) when the answer is not taken.
  // REQUIRES: called on the main run loop.
  bool deliverAnswer(int index, const std::string& by);
  bool isAnswered() const;

 private:
  AlertView() = default;
  std::string title_, message_;
  AlertViewDelegate* delegate_ = nullptr;
  std::vector<std::string> buttons_;
  bool hasCancel_ = false;
  int tag_ = 0;
  std::vector<AlertSubview> subviews_;
  mutable std::mutex answerMu_;
  bool answered_ = false;
  std::vector<AnsweredHook> hooks_;
};

class UserInterface {
 public:
  UserInterface() = default;
  UserInterface(const UserInterface&) = delete;
  UserInterface& operator=(const UserInterface&) = delete;
  virtual ~UserInterface() = default;

  // The process-wide instance: the one installed by setDefaultForTesting() or
  // setDefault(), else the backends chosen by QUILLBOX_UI (made on
  // first use; a value that cannot be used logs a line and falls back to
  // "journal:-").
  static UserInterface& Default();
  // What Default() gives, as a QUILLBOX_UI value: the setting, or the backend
  // chosen without one ("desktop", or "journal:-" when no notification server
  // answered or the setting could not be used). Makes the instance when needed.
  static std::string defaultName();
  // The backends named by a QUILLBOX_UI value ("desktop", "journal:PATH",
  // "journal:-", several joined by commas) with the QUILLBOX_PROMPT policy `prompt`; one
  // backend alone, or a CompositeUserInterface over them. nullptr when a part
  // names no backend or cannot be used (a log line says which).
  static std::shared_ptr<UserInterface> fromSettings(const std::string& ui,
                                                     const std::string& prompt);
  // Installs `ui` as the process-wide instance (nullptr: back to QUILLBOX_UI).
  // REQUIRES: no other thread is using the previous instance.
  static void setDefault(std::shared_ptr<UserInterface> ui);
  // Same, for a test double owned by the test (nullptr restores). Gives the
  // double installed before (nullptr: none).
  static UserInterface* setDefaultForTesting(UserInterface* ui);

  // A short message that disappears by itself after `durationMs`.
  virtual void showToast(const std::string& text, ToastPosition pos, int durationMs) = 0;
  // Shows the alert and returns at once; the answer arrives later through the
  // alert's delegate, on the main run loop.
  virtual void showAlert(std::shared_ptr<AlertView> alert) = 0;
  // A message in the status-bar overlay for `durationMs`.
  virtual void showStatusBarMessage(const std::string& text, StatusBarKind kind, int durationMs,
                                    bool animated) = 0;
  virtual void openURL(const std::string& url) = 0;
  // true keeps the screen from locking. Only changes of the value are shown.
  virtual void setIdleTimerDisabled(bool disabled) = 0;
  // Takes down every toast still shown and returns once it is gone from the
  // screen (a backend that cannot confirm waits a bounded time), so that a
  // screen capture never shows the system's own overlay. Any thread.
  virtual void hideToasts() {}
  // Takes down everything this process still shows (toasts, unanswered
  // prompts, status messages): for a program that stops, so that nothing it
  // can no longer answer stays on the screen. Any thread.
  virtual void withdrawAll() {}
};

// Forwards every call to another instance (tests override only what they need).
class UserInterfaceWrapper : public UserInterface {
 public:
  explicit UserInterfaceWrapper(UserInterface& target) : target_(target) {}
  void showToast(const std::string& text, ToastPosition pos, int durationMs) override {
    target_.showToast(text, pos, durationMs);
  }
  void showAlert(std::shared_ptr<AlertView> alert) override { target_.showAlert(std::move(alert)); }
  void showStatusBarMessage(const std::string& text, StatusBarKind kind, int durationMs,
                            bool animated) override {
    target_.showStatusBarMessage(text, kind, durationMs, animated);
  }
  void openURL(const std::string& url) override { target_.openURL(url); }
  void setIdleTimerDisabled(bool disabled) override { target_.setIdleTimerDisabled(disabled); }
  void hideToasts() override { target_.hideToasts(); }
  void withdrawAll() override { target_.withdrawAll(); }

 protected:
  UserInterface& target_;
};

}  // namespace quillbox::platform
