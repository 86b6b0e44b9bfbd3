#include "Platform/UI/JournalUserInterface.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>
#include <nlohmann/json.hpp>

#include "Platform/Files/FileSystem.h"
#include "Platform/Loop/RunLoop.h"
#include "Platform/Process/Clock.h"
#include "Platform/Process/Log.h"
#include "Platform/Process/TimeFormat.h"

namespace quillbox::platform {
namespace {

using Json = nlohmann::ordered_json;

// Journal vocabulary, kept in one place.
const char kEvToast[] = "toast";
const char kEvAlert[] = "alert";
const char kEvAlertAnswer[] = "alertAnswer";
const char kEvStatusBar[] = "statusBar";
const char kEvOpenURL[] = "openURL";
const char kEvIdleTimer[] = "idleTimer";
const char kByPolicy[] = "policy";
const char kByUser[] = "user";
const char kJournalPrefix[] = "journal:";
const char kStdout[] = "-";

const char kOpenFailed[] = "UserInterface: cannot open the journal %s (%s); events are dropped";
const char kWriteFailed[] = "UserInterface: cannot write the journal (%s)";
const char kUnknownPolicy[] =
    "UserInterface: unknown QUILLBOX_PROMPT \"%s\"; prompts stay unanswered";
const char kNoButtons[] = "UserInterface: alert %d has no buttons; not answered";

// "2015-01-01T09:05:07.123+08:00"
std::string isoNow() {
  return TimeFormat::format(Clock::Default().now(), "%Y-%m-%dT%H:%M:%S.%L%:z",
                            TimeFormat::Zone::Local);
}

Json frameOf(const AlertSubview& v) {
  return Json::array({v.x, v.y, v.width, v.height});
}

}  // namespace

struct JournalUserInterface::Impl {
  int fd = -1;
  bool ownsFd = false;
  PromptPolicy policy = PromptPolicy::None;
  std::mutex mu;
  std::mutex idleMu;               // held across the change and its line, so lines follow the value
  bool idleTimerDisabled = false;  // the screen may lock until told otherwise
  bool writeFailureLogged = false;

  ~Impl() {
    if (ownsFd && fd >= 0) ::close(fd);
  }

  void write(const char* event, Json members) {
    Json line;
    line["event"] = event;
    for (auto& [k, v] : members.items()) line[k] = v;
    line["time"] = isoNow();
    line["pid"] = static_cast<int>(::getpid());
    std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    text += '\n';
    std::lock_guard<std::mutex> lock(mu);
    if (fd < 0) return;
    size_t off = 0;
    while (off < text.size()) {
      ssize_t n = ::write(fd, text.data() + off, text.size() - off);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (!writeFailureLogged) Log::printf(kWriteFailed, std::strerror(errno));
        writeFailureLogged = true;
        return;
      }
      off += static_cast<size_t>(n);
    }
  }
};

JournalUserInterface::JournalUserInterface(const std::string& target, PromptPolicy policy)
    : impl_(std::make_shared<Impl>()) {
  impl_->policy = policy;
  if (target == kStdout) {
    impl_->fd = STDOUT_FILENO;
    return;
  }
  std::string parent = deletingLastPathComponent(target);
  if (!parent.empty() && parent != target) FileSystem::Default().createDirectories(parent);
  impl_->fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (impl_->fd < 0) {
    Log::printf(kOpenFailed, target.c_str(), std::strerror(errno));
    return;
  }
  impl_->ownsFd = true;
}

JournalUserInterface::~JournalUserInterface() = default;

std::optional<JournalUserInterface::PromptPolicy> JournalUserInterface::parsePolicy(
    const std::string& text) {
  if (text == "confirm") return PromptPolicy::Confirm;
  if (text == "decline") return PromptPolicy::Decline;
  if (text == "none") return PromptPolicy::None;
  return std::nullopt;
}

std::unique_ptr<JournalUserInterface> JournalUserInterface::fromSettings(
    const std::string& ui, const std::string& prompt) {
  const std::string prefix = kJournalPrefix;
  if (ui.compare(0, prefix.size(), prefix) != 0) return nullptr;
  std::string target = ui.substr(prefix.size());
  if (target.empty()) return nullptr;
  auto policy = parsePolicy(prompt.empty() ? "none" : prompt);
  if (!policy) Log::printf(kUnknownPolicy, prompt.c_str());
  return std::make_unique<JournalUserInterface>(target, policy.value_or(PromptPolicy::None));
}

bool JournalUserInterface::isOpen() const {
  return impl_->fd >= 0;
}

void JournalUserInterface::showToast(const std::string& text, ToastPosition pos, int durationMs) {
  impl_->write(kEvToast, Json{{"text", text},
                              {"position", pos == ToastPosition::Center ? "center" : "bottom"},
                              {"durationMs", durationMs}});
}

void JournalUserInterface::showAlert(std::shared_ptr<AlertView> alert) {
  if (!alert) return;
  Json subviews = Json::array();
  for (const AlertSubview& v : alert->subviews()) {
    if (v.kind == AlertSubview::Kind::Picture) {
      subviews.push_back(Json{{"frame", frameOf(v)}, {"path", v.path}});
    } else {
      subviews.push_back(
          Json{{"frame", frameOf(v)},
               {"text", v.text},
               {"font", v.font},
               {"color", Json::array({v.color[0], v.color[1], v.color[2], v.color[3]})},
               {"alignment", v.alignment}});
    }
  }
  impl_->write(kEvAlert, Json{{"title", alert->title()},
                              {"message", alert->message()},
                              {"buttons", alert->buttons()},
                              {"tag", alert->tag()},
                              {"subviews", std::move(subviews)}});
  // Whoever answers (this policy, a click in another backend), the answer is recorded.
  std::weak_ptr<Impl> weak = impl_;
  alert->addAnsweredHook([weak](AlertView& a, int index, const std::string& by) {
    if (auto impl = weak.lock())
      impl->write(kEvAlertAnswer, Json{{"tag", a.tag()}, {"index", index}, {"by", by}});
  });
  if (impl_->policy == PromptPolicy::None) return;
  if (alert->numberOfButtons() == 0) {
    Log::printf(kNoButtons, alert->tag());
    return;
  }
  int index = impl_->policy == PromptPolicy::Confirm ? alert->numberOfButtons() - 1 : 0;
  RunLoop::main().perform([alert, index] { alert->deliverAnswer(index, kByPolicy); });
}

void JournalUserInterface::answerAlert(const std::shared_ptr<AlertView>& alert, int index) {
  if (!alert) return;
  RunLoop::main().perform([alert, index] { alert->deliverAnswer(index, kByUser); });
}

void JournalUserInterface::showStatusBarMessage(const std::string& text, StatusBarKind kind,
                                                int durationMs, bool animated) {
  impl_->write(kEvStatusBar, Json{{"text", text},
                                  {"kind", kind == StatusBarKind::Plain ? "plain" : "finished"},
                                  {"durationMs", durationMs},
                                  {"animated", animated}});
}

void JournalUserInterface::openURL(const std::string& url) {
  impl_->write(kEvOpenURL, Json{{"url", url}});
}

void JournalUserInterface::setIdleTimerDisabled(bool disabled) {
  std::lock_guard<std::mutex> lock(impl_->idleMu);
  if (impl_->idleTimerDisabled == disabled) return;
  impl_->idleTimerDisabled = disabled;
  impl_->write(kEvIdleTimer, Json{{"disabled", disabled}});
}

}  // namespace quillbox::platform
