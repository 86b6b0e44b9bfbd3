#include "Platform/UI/UserInterface.h"

#include <mutex>
#include <utility>

#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "Platform/UI/CompositeUserInterface.h"
#include "Platform/UI/DesktopUserInterface.h"
#include "Platform/UI/JournalUserInterface.h"

namespace quillbox::platform {
namespace {

const char kUnknownBackend[] = "UserInterface: QUILLBOX_UI \"%s\" cannot be used; using journal:-";
const char kDefaultBackend[] = "journal:-";
const char kDesktopPart[] = "desktop";
const char kUnknownPart[] = "UserInterface: QUILLBOX_UI names no backend in \"%s\"";
const char kBadAnswer[] = "UserInterface: alert %d has no button %d; not answered";

std::mutex& sharedMutex() {
  static std::mutex m;
  return m;
}
struct SharedState {
  std::shared_ptr<UserInterface> installed;
  UserInterface* testing = nullptr;
  std::shared_ptr<UserInterface> fromEnvironment;
  std::string fromEnvironmentName;  // the QUILLBOX_UI value it stands for
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
  UserInterface::Default().showAlert(shared_from_this());
}

void AlertView::addAnsweredHook(AnsweredHook hook) {
  std::lock_guard<std::mutex> lock(answerMu_);
  hooks_.push_back(std::move(hook));
}

bool AlertView::isAnswered() const {
  std::lock_guard<std::mutex> lock(answerMu_);
  return answered_;
}

bool AlertView::deliverAnswer(int index, const std::string& by) {
  if (index < 0 || index >= numberOfButtons()) {
    Log::printf(kBadAnswer, tag(), index);
    return false;
  }
  std::vector<AnsweredHook> hooks;
  {
    std::lock_guard<std::mutex> lock(answerMu_);
    if (answered_) return false;
    answered_ = true;
    hooks.swap(hooks_);  // an answered alert holds no backend alive
  }
  // Keeps the alert alive while its delegate runs, whoever else lets it go.
  auto self = shared_from_this();
  for (auto& h : hooks) h(*this, index, by);
  if (AlertViewDelegate* d = delegate()) d->alertViewClickedButtonAtIndex(*this, index);
  return true;
}

std::shared_ptr<UserInterface> UserInterface::fromSettings(const std::string& ui,
                                                           const std::string& prompt) {
  std::vector<std::shared_ptr<UserInterface>> backends;
  size_t start = 0;
  while (start <= ui.size()) {
    size_t comma = ui.find(',', start);
    std::string part =
        ui.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    std::shared_ptr<UserInterface> backend = DesktopUserInterface::fromSettings(part);
    if (!backend && part != kDesktopPart) {
      backend = JournalUserInterface::fromSettings(part, prompt);
      if (!backend) Log::printf(kUnknownPart, part.c_str());
    }
    if (!backend) return nullptr;  // the desktop said why
    backends.push_back(std::move(backend));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (backends.size() == 1) return backends.front();
  return std::make_shared<CompositeUserInterface>(std::move(backends));
}

UserInterface& UserInterface::Default() {
  std::lock_guard<std::mutex> lock(sharedMutex());
  SharedState& s = state();
  if (s.testing) return *s.testing;
  if (s.installed) return *s.installed;
  if (!s.fromEnvironment) {
    std::string ui = Environment::ui();
    std::shared_ptr<UserInterface> chosen;
    if (ui.empty()) {
      // A person's desktop when there is one that shows notifications.
      auto desktop = DesktopUserInterface::connect(true);
      if (desktop && desktop->hasNotificationServer()) chosen = std::move(desktop);
    } else {
      chosen = fromSettings(ui, Environment::prompt());
      if (!chosen) Log::printf(kUnknownBackend, ui.c_str());
    }
    s.fromEnvironmentName = ui.empty() ? std::string(kDesktopPart) : ui;
    if (!chosen) {
      chosen = JournalUserInterface::fromSettings(kDefaultBackend, Environment::prompt());
      s.fromEnvironmentName = kDefaultBackend;
    }
    s.fromEnvironment = std::move(chosen);
  }
  return *s.fromEnvironment;
}

std::string UserInterface::defaultName() {
  Default();
  std::lock_guard<std::mutex> lock(sharedMutex());
  SharedState& s = state();
  if (s.testing || s.installed) return "installed by the program";
  return s.fromEnvironmentName;
}

void UserInterface::setDefault(std::shared_ptr<UserInterface> ui) {
  std::lock_guard<std::mutex> lock(sharedMutex());
  SharedState& s = state();
  if (s.installed) s.retired.push_back(s.installed);
  s.installed = std::move(ui);
}

UserInterface* UserInterface::setDefaultForTesting(UserInterface* ui) {
  std::lock_guard<std::mutex> lock(sharedMutex());
  return std::exchange(state().testing, ui);
}

}  // namespace quillbox::platform
