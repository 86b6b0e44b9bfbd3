#include "Platform/UserInterface.h"

#include <mutex>

#include "Platform/Environment.h"
#include "Platform/JournalUserInterface.h"
#include "Platform/Log.h"

namespace quillbox::platform {
namespace {

const char kUnknownBackend[] = "UserInterface: unknown QUILLBOX_UI \"%s\"; using journal:-";

std::mutex& sharedMutex() {
  static std::mutex m;
  return m;
}
struct SharedState {
  std::shared_ptr<UserInterface> installed;
  UserInterface* testing = nullptr;
  std::shared_ptr<UserInterface> fromEnvironment;
  // Instances replaced while the process runs are kept, so a reference that
  // another thread still holds never dangles.
  std::vector<std::shared_ptr<UserInterface>> retired;
};
SharedState& state() {
  static auto* s = new SharedState();  // never destroyed: threads may show things at exit
  return *s;
}

}  // namespace

AlertSubview AlertSubview::picture(double x, double y, double w, double h, std::string path) {
  AlertSubview v;
  v.kind = Kind::Picture;
  v.x = x;
  v.y = y;
  v.width = w;
  v.height = h;
  v.path = std::move(path);
  return v;
}

AlertSubview AlertSubview::label(double x, double y, double w, double h, std::string text,
                                 std::string font, std::array<double, 4> color,
                                 std::string alignment) {
  AlertSubview v;
  v.kind = Kind::Label;
  v.x = x;
  v.y = y;
  v.width = w;
  v.height = h;
  v.text = std::move(text);
  v.font = std::move(font);
  v.color = color;
  v.alignment = std::move(alignment);
  return v;
}

std::shared_ptr<AlertView> AlertView::create(std::string title, std::string message,
                                             AlertViewDelegate* delegate,
                                             std::string cancelButtonTitle,
                                             std::vector<std::string> otherButtonTitles) {
  std::shared_ptr<AlertView> a(new AlertView());
  a->title_ = std::move(title);
  a->message_ = std::move(message);
  a->delegate_ = delegate;
  if (!cancelButtonTitle.empty()) {
    a->hasCancel_ = true;
    a->buttons_.push_back(std::move(cancelButtonTitle));
  }
  for (auto& b : otherButtonTitles) a->buttons_.push_back(std::move(b));
  return a;
}

std::string AlertView::buttonTitleAtIndex(int index) const {
  if (index < 0 || index >= numberOfButtons()) return {};
  return buttons_[static_cast<size_t>(index)];
}

void AlertView::show() {
  UserInterface::shared().showAlert(shared_from_this());
}

UserInterface& UserInterface::shared() {
  std::lock_guard<std::mutex> lock(sharedMutex());
  SharedState& s = state();
  if (s.testing) return *s.testing;
  if (s.installed) return *s.installed;
  if (!s.fromEnvironment) {
    std::string ui = Environment::ui();
    auto journal = JournalUserInterface::fromSettings(ui, Environment::prompt());
    if (!journal) {
      Log::printf(kUnknownBackend, ui.c_str());
      journal = JournalUserInterface::fromSettings("journal:-", Environment::prompt());
    }
    s.fromEnvironment = std::move(journal);
  }
  return *s.fromEnvironment;
}

void UserInterface::setShared(std::shared_ptr<UserInterface> ui) {
  std::lock_guard<std::mutex> lock(sharedMutex());
  SharedState& s = state();
  if (s.installed) s.retired.push_back(s.installed);
  s.installed = std::move(ui);
}

void UserInterface::setSharedForTesting(UserInterface* ui) {
  std::lock_guard<std::mutex> lock(sharedMutex());
  state().testing = ui;
}

}  // namespace quillbox::platform
