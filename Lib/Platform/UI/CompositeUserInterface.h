// CompositeUserInterface: several user-interface backends shown as one.
//
// Every call goes to each backend in the order given (for example the desktop
// notifications and a journal that records them). An alert shown by several
// backends is still answered once (see AlertView::deliverAnswer).
//
// Thread safety: safe for concurrent use from any thread when the backends are.
#pragma once

#include <memory>
#include <vector>

#include "Platform/UI/UserInterface.h"

namespace quillbox::platform {

class CompositeUserInterface : public UserInterface {
 public:
  explicit CompositeUserInterface(std::vector<std::shared_ptr<UserInterface>> backends);

  const std::vector<std::shared_ptr<UserInterface>>& backends() const { return backends_; }

  void showToast(const std::string& text, ToastPosition pos, int durationMs) override;
  void showAlert(std::shared_ptr<AlertView> alert) override;
  void showStatusBarMessage(const std::string& text, StatusBarKind kind, int durationMs,
                            bool animated) override;
  void openURL(const std::string& url) override;
  void setIdleTimerDisabled(bool disabled) override;
  void hideToasts() override;
  void withdrawAll() override;

 private:
  const std::vector<std::shared_ptr<UserInterface>> backends_;
};

}  // namespace quillbox::platform
