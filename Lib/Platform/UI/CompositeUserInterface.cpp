#include "Platform/UI/CompositeUserInterface.h"

namespace quillbox::platform {

CompositeUserInterface::CompositeUserInterface(std::vector<std::shared_ptr<UserInterface>> backends)
    : backends_(std::move(backends)) {}

void CompositeUserInterface::showToast(const std::string& text, ToastPosition pos, int durationMs) {
  for (auto& b : backends_) b->showToast(text, pos, durationMs);
}

void CompositeUserInterface::showAlert(std::shared_ptr<AlertView> alert) {
  for (auto& b : backends_) b->showAlert(alert);
}

void CompositeUserInterface::showStatusBarMessage(const std::string& text, StatusBarKind kind,
                                                  int durationMs, bool animated) {
  for (auto& b : backends_) b->showStatusBarMessage(text, kind, durationMs, animated);
}

void CompositeUserInterface::openURL(const std::string& url) {
  for (auto& b : backends_) b->openURL(url);
}

void CompositeUserInterface::setIdleTimerDisabled(bool disabled) {
  for (auto& b : backends_) b->setIdleTimerDisabled(disabled);
}

void CompositeUserInterface::hideToasts() {
  for (auto& b : backends_) b->hideToasts();
}

void CompositeUserInterface::withdrawAll() {
  for (auto& b : backends_) b->withdrawAll();
}

}  // namespace quillbox::platform
