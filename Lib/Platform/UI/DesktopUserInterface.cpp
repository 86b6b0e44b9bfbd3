#include "Platform/UI/DesktopUserInterface.h"

#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "Platform/Loop/RunLoop.h"
#include "Platform/Process/Log.h"
#include "Platform/Process/Threads.h"
#include "Text/PercentEncoding.h"
#include "Text/XmlEscape.h"

extern char** environ;

namespace quillbox::platform {
namespace {

const char kDesktop[] = "desktop";
const char kAppName[] = "quillbox";
const char kByUser[] = "user";
const char kInhibitReason[] = "正在上传证据";

const char kNotifyName[] = "org.freedesktop.Notifications";
const char kNotifyPath[] = "/org/freedesktop/Notifications";
const char kNotifyIface[] = "org.freedesktop.Notifications";
const char kSaverName[] = "org.freedesktop.ScreenSaver";
const char kSaverPath[] = "/org/freedesktop/ScreenSaver";
const char kSaverIface[] = "org.freedesktop.ScreenSaver";

const char kNoBus[] = "UserInterface: no session bus (%s); desktop notifications are off";
const char kCallFailed[] = "UserInterface: %s on the session bus failed (%s)";
const char kBusLost[] = "UserInterface: the session bus connection is lost (%s)";
const char kNoSaver[] =
    "UserInterface: no screen saver on the session bus (%s); the screen may lock";
const char kCloseUnconfirmed[] =
    "UserInterface: the notification server did not confirm closing %zu toast(s)";
const char kBadURL[] = "UserInterface: not a URL, not opened: \"%s\"";
const char kOpenFailed[] = "UserInterface: cannot run xdg-open for %s (%s)";

// Replies come from a local server; a stuck one must not hold the caller long.
constexpr uint64_t kCallTimeoutUsec = 3'000'000;
constexpr uint64_t kProbeTimeoutUsec = 2'000'000;
constexpr int kPollSliceMs = 50;

struct Hint {
  std::string key;
  char type;  // 's' or 'b'
  std::string text;
  bool flag = false;
};

// "file://" + the path with every byte outside the unreserved set and "/" escaped.
std::string fileURI(const std::string& path) {
  return "file://" + PercentEncoding::encode(path, "-._~/");
}

// The body markup of notifications: quotes stand as they are.
std::string escapeMarkup(const std::string& text) {
  return XmlEscape::escape(text, false);
}

std::string trimmed(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// A URL starts with a scheme ("quillbox:", "https:"); anything else (an option
// such as "--help", a bare path) is not handed to another program.
bool looksLikeURL(const std::string& url) {
  size_t colon = url.find(':');
  if (colon == std::string::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(url[0])))
    return false;
  return std::all_of(url.begin(), url.begin() + static_cast<long>(colon), [](unsigned char c) {
    return std::isalnum(c) || c == '+' || c == '-' || c == '.';
  });
}

}  // namespace

struct DesktopUserInterface::Impl : std::enable_shared_from_this<Impl> {
  std::mutex mu;  // guards the bus and everything below
  sd_bus* bus = nullptr;
  sd_bus_slot* match = nullptr;
  uint64_t fdSource = 0;
  bool broken = false;
  std::string owner;  // unique name of the notification server we talk to
  std::optional<bool> markup;
  std::set<uint32_t> toasts;                              // shown, not yet closed
  std::map<uint32_t, std::shared_ptr<AlertView>> alerts;  // shown, not closed nor answered
  uint32_t statusId = 0;
  bool idleDisabled = false;
  std::optional<uint32_t> cookie;
  bool saverMissingLogged = false;
  std::vector<std::function<void()>> answers;  // to run on the main loop
  std::atomic<bool> pumpQueued{false};

  ~Impl() {
    if (fdSource) RunLoop::main().removeFdSource(fdSource);
    std::lock_guard<std::mutex> lock(mu);
    sd_bus_slot_unref(match);
    if (bus) sd_bus_flush_close_unref(bus);
  }

  // REQUIRES: mu held. One method call; the reply (nullptr on failure, with a
  // log line unless `quiet`) is owned by the caller.
  sd_bus_message* call(sd_bus_message* m, const char* what, uint64_t timeout, bool quiet = false,
                       std::string* error = nullptr) {
    if (broken) {  // already said once
      sd_bus_message_unref(m);
      return nullptr;
    }
    sd_bus_error err = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call(bus, m, timeout, &err, &reply);
    sd_bus_message_unref(m);
    if (r < 0) {
      std::string why = err.message ? err.message : std::strerror(-r);
      if (error) *error = why;
      if (!quiet) Log::printf(kCallFailed, what, why.c_str());
      sd_bus_error_free(&err);
      if (r == -ENOTCONN || r == -ECONNRESET) {
        Log::printf(kBusLost, why.c_str());
        broken = true;
      }
      return nullptr;
    }
    sd_bus_error_free(&err);
    schedulePump();  // signals read while waiting for the reply are served on the main loop
    return reply;
  }

  sd_bus_message* newCall(const char* dest, const char* path, const char* iface,
                          const char* member) {
    sd_bus_message* m = nullptr;
    if (broken || sd_bus_message_new_method_call(bus, &m, dest, path, iface, member) < 0)
      return nullptr;
    return m;
  }

  // REQUIRES: mu held.
  bool serverHasMarkup() {
    if (markup) return *markup;
    markup = false;
    sd_bus_message* m = newCall(kNotifyName, kNotifyPath, kNotifyIface, "GetCapabilities");
    if (!m) return false;
    sd_bus_message* reply = call(m, "GetCapabilities", kCallTimeoutUsec);
    if (!reply) return false;
    char** caps = nullptr;
    if (sd_bus_message_read_strv(reply, &caps) >= 0 && caps) {
      for (char** c = caps; *c; ++c) {
        if (std::strcmp(*c, "body-markup") == 0) markup = true;
        free(*c);
      }
      free(caps);
    }
    sd_bus_message_unref(reply);
    return *markup;
  }

  // REQUIRES: mu held. Gives the id the server assigned.
  std::optional<uint32_t> notify(uint32_t replaces, const std::string& summary,
                                 const std::string& body, const std::vector<std::string>& actions,
                                 const std::vector<Hint>& hints, int32_t timeout) {
    std::string shownBody = !body.empty() && serverHasMarkup() ? escapeMarkup(body) : body;
    sd_bus_message* m = newCall(kNotifyName, kNotifyPath, kNotifyIface, "Notify");
    if (!m) return std::nullopt;
    bool ok = sd_bus_message_append(m, "susss", kAppName, replaces, "", summary.c_str(),
                                    shownBody.c_str()) >= 0 &&
              sd_bus_message_open_container(m, 'a', "s") >= 0;
    for (size_t i = 0; ok && i < actions.size(); ++i)
      ok = sd_bus_message_append(m, "s", actions[i].c_str()) >= 0;
    ok = ok && sd_bus_message_close_container(m) >= 0 &&
         sd_bus_message_open_container(m, 'a', "{sv}") >= 0;
    for (size_t i = 0; ok && i < hints.size(); ++i) {
      const Hint& h = hints[i];
      ok = h.type == 's'
               ? sd_bus_message_append(m, "{sv}", h.key.c_str(), "s", h.text.c_str()) >= 0
               : sd_bus_message_append(m, "{sv}", h.key.c_str(), "b", h.flag ? 1 : 0) >= 0;
    }
    ok =
        ok && sd_bus_message_close_container(m) >= 0 && sd_bus_message_append(m, "i", timeout) >= 0;
    if (!ok) {
      sd_bus_message_unref(m);
      return std::nullopt;
    }
    sd_bus_message* reply = call(m, "Notify", kCallTimeoutUsec);
    if (!reply) return std::nullopt;
    uint32_t id = 0;
    int r = sd_bus_message_read(reply, "u", &id);
    const char* sender = sd_bus_message_get_sender(reply);
    std::string from = sender ? sender : "";
    sd_bus_message_unref(reply);
    if (r < 0) return std::nullopt;
    if (from != owner) {
      // Another server took over: the ids of the old one mean nothing any more.
      owner = from;
      toasts.clear();
      alerts.clear();
      statusId = 0;
      markup.reset();
    }
    return id;
  }

  // REQUIRES: mu held.
  void closeNotification(uint32_t id) {
    sd_bus_message* m = newCall(kNotifyName, kNotifyPath, kNotifyIface, "CloseNotification");
    if (!m) return;
    if (sd_bus_message_append(m, "u", id) < 0) {
      sd_bus_message_unref(m);
      return;
    }
    // A notification that is already gone answers with an error: nothing to do.
    if (sd_bus_message* reply = call(m, "CloseNotification", kCallTimeoutUsec, true))
      sd_bus_message_unref(reply);
  }

  // Runs inside sd_bus_process, mu held.
  static int onSignal(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<Impl*>(userdata);
    const char* sender = sd_bus_message_get_sender(m);
    if (!sender || self->owner.empty() || self->owner != sender) return 0;
    uint32_t id = 0;
    if (sd_bus_message_is_signal(m, kNotifyIface, "ActionInvoked")) {
      const char* key = nullptr;
      if (sd_bus_message_read(m, "us", &id, &key) < 0 || !key) return 0;
      auto it = self->alerts.find(id);
      if (it == self->alerts.end()) return 0;
      char* end = nullptr;
      long index = std::strtol(key, &end, 10);
      if (!*key || *end || index < 0 || index > 1000) return 0;
      auto alert = it->second;
      self->answers.emplace_back(
          [alert, index] { alert->deliverAnswer(static_cast<int>(index), kByUser); });
    } else if (sd_bus_message_is_signal(m, kNotifyIface, "NotificationClosed")) {
      uint32_t reason = 0;
      if (sd_bus_message_read(m, "uu", &id, &reason) < 0) return 0;
      self->toasts.erase(id);
      self->alerts.erase(id);  // closed without an action: stays unanswered
      if (id == self->statusId) self->statusId = 0;
    }
    return 0;
  }

  // REQUIRES: mu held. Serves every message already received.
  void processLocked() {
    if (broken) return;
    int r;
    while ((r = sd_bus_process(bus, nullptr)) > 0) {
    }
    if (r < 0) {
      Log::printf(kBusLost, std::strerror(-r));
      broken = true;
      if (fdSource) RunLoop::main().removeFdSource(fdSource);
      fdSource = 0;
    }
  }

  void dispatchAnswers(std::vector<std::function<void()>> list) {
    for (auto& fn : list) RunLoop::main().perform(std::move(fn));
  }

  void pump() {
    pumpQueued = false;
    std::vector<std::function<void()>> list;
    {
      std::lock_guard<std::mutex> lock(mu);
      processLocked();
      list.swap(answers);
    }
    dispatchAnswers(std::move(list));
  }

  void schedulePump() {
    if (pumpQueued.exchange(true)) return;
    std::weak_ptr<Impl> weak = weak_from_this();
    RunLoop::main().perform([weak] {
      if (auto self = weak.lock()) self->pump();
    });
  }
};

DesktopUserInterface::DesktopUserInterface(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

DesktopUserInterface::~DesktopUserInterface() = default;

std::shared_ptr<DesktopUserInterface> DesktopUserInterface::connect(bool quiet) {
  auto impl = std::make_shared<Impl>();
  int r = sd_bus_open_user(&impl->bus);
  if (r >= 0) r = sd_bus_set_method_call_timeout(impl->bus, kCallTimeoutUsec);
  if (r >= 0) {
    // Installing the match is the first round trip: it shows whether the bus answers.
    r = sd_bus_match_signal(impl->bus, &impl->match, nullptr, kNotifyPath, kNotifyIface, nullptr,
                            &Impl::onSignal, impl.get());
  }
  if (r < 0) {
    if (!quiet) Log::printf(kNoBus, std::strerror(-r));
    return nullptr;
  }
  sd_bus_error err = SD_BUS_ERROR_NULL;
  const char* owner = nullptr;
  sd_bus_message* reply = nullptr;
  if (sd_bus_call_method(impl->bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "GetNameOwner", &err, &reply, "s",
                         kNotifyName) >= 0 &&
      sd_bus_message_read(reply, "s", &owner) >= 0 && owner) {
    impl->owner = owner;
  }
  sd_bus_message_unref(reply);
  sd_bus_error_free(&err);
  std::weak_ptr<Impl> weak = impl;
  impl->fdSource = RunLoop::main().addFdSource(sd_bus_get_fd(impl->bus), [weak] {
    if (auto self = weak.lock()) self->pump();
  });
  return std::shared_ptr<DesktopUserInterface>(new DesktopUserInterface(std::move(impl)));
}

std::shared_ptr<DesktopUserInterface> DesktopUserInterface::fromSettings(const std::string& ui) {
  if (ui != kDesktop) return nullptr;
  return connect(false);
}

bool DesktopUserInterface::hasNotificationServer() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  sd_bus_message* m =
      impl_->newCall(kNotifyName, kNotifyPath, kNotifyIface, "GetServerInformation");
  if (!m) return false;
  sd_bus_message* reply = impl_->call(m, "GetServerInformation", kProbeTimeoutUsec, true);
  if (!reply) return false;
  if (const char* sender = sd_bus_message_get_sender(reply)) impl_->owner = sender;
  sd_bus_message_unref(reply);
  return true;
}

void DesktopUserInterface::showToast(const std::string& text, ToastPosition, int durationMs) {
  // Notification servers place notifications themselves: the position has no counterpart.
  std::lock_guard<std::mutex> lock(impl_->mu);
  auto id = impl_->notify(0, text, "", {}, {{"transient", 'b', "", true}}, durationMs);
  if (id) impl_->toasts.insert(*id);
}

void DesktopUserInterface::showAlert(std::shared_ptr<AlertView> alert) {
  if (!alert) return;
  std::vector<std::string> actions;
  for (int i = 0; i < alert->numberOfButtons(); ++i) {
    actions.push_back(std::to_string(i));
    actions.push_back(alert->buttonTitleAtIndex(i));
  }
  std::string body;
  std::vector<Hint> hints;
  for (const AlertSubview& v : alert->subviews()) {
    if (v.kind == AlertSubview::Kind::Label) {
      body += (body.empty() ? "" : "\n") + v.text;
    } else if (hints.empty() && !v.path.empty()) {
      hints.push_back({"image-path", 's', fileURI(v.path)});
    }
  }
  if (body.empty()) body = trimmed(alert->message());

  std::optional<uint32_t> id;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (alert->isAnswered()) return;
    id = impl_->notify(0, alert->title(), body, actions, hints, 0);  // 0: until answered
    if (!id) return;
    impl_->alerts[*id] = alert;
  }
  std::weak_ptr<Impl> weak = impl_;
  uint32_t shown = *id;
  auto taken = [weak, shown] {
    auto impl = weak.lock();
    if (!impl) return;
    std::lock_guard<std::mutex> lock(impl->mu);
    // Answered, here or elsewhere (a policy, another backend): its buttons
    // mean nothing any more, and it must not end up in the next capture.
    // Servers that close a notification after its action answer this close
    // with an error, which is ignored.
    if (impl->alerts.erase(shown) > 0) impl->closeNotification(shown);
  };
  alert->addAnsweredHook([taken](AlertView&, int, const std::string&) { taken(); });
  // An answer that came in while the notification was being shown ran no hook of ours.
  if (alert->isAnswered()) taken();
}

void DesktopUserInterface::showStatusBarMessage(const std::string& text, StatusBarKind kind,
                                                int durationMs, bool) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::vector<Hint> hints = {
      {"category", 's', kind == StatusBarKind::Plain ? "transfer" : "transfer.complete"},
      {"transient", 'b', "", true}};
  if (auto id = impl_->notify(impl_->statusId, text, "", {}, hints, durationMs))
    impl_->statusId = *id;
}

void DesktopUserInterface::openURL(const std::string& url) {
  if (!looksLikeURL(url)) {
    Log::printf(kBadURL, url.c_str());
    return;
  }
  std::string program = "xdg-open";
  char* argv[] = {program.data(), const_cast<char*>(url.c_str()), nullptr};
  pid_t pid = 0;
  int r = ::posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv, environ);
  if (r != 0) {
    Log::printf(kOpenFailed, url.c_str(), std::strerror(r));
    return;
  }
  // Reaped in the background: xdg-open may wait for the program it starts.
  Threads::Default().startThread("reap-url-opener", [pid] { ::waitpid(pid, nullptr, 0); });
}

void DesktopUserInterface::setIdleTimerDisabled(bool disabled) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (impl_->idleDisabled == disabled) return;
  impl_->idleDisabled = disabled;
  if (!disabled) {
    if (!impl_->cookie) return;
    sd_bus_message* m = impl_->newCall(kSaverName, kSaverPath, kSaverIface, "UnInhibit");
    if (m && sd_bus_message_append(m, "u", *impl_->cookie) >= 0) {
      if (sd_bus_message* reply = impl_->call(m, "UnInhibit", kCallTimeoutUsec))
        sd_bus_message_unref(reply);
    } else {
      sd_bus_message_unref(m);
    }
    impl_->cookie.reset();
    return;
  }
  sd_bus_message* m = impl_->newCall(kSaverName, kSaverPath, kSaverIface, "Inhibit");
  if (!m || sd_bus_message_append(m, "ss", kAppName, kInhibitReason) < 0) {
    sd_bus_message_unref(m);
    return;
  }
  std::string why;
  sd_bus_message* reply = impl_->call(m, "Inhibit", kCallTimeoutUsec, true, &why);
  uint32_t cookie = 0;
  if (reply && sd_bus_message_read(reply, "u", &cookie) >= 0) {
    impl_->cookie = cookie;
  } else if (!impl_->saverMissingLogged) {
    impl_->saverMissingLogged = true;
    Log::printf(kNoSaver, why.c_str());
  }
  sd_bus_message_unref(reply);
}

void DesktopUserInterface::withdrawAll() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->processLocked();  // what the server closed meanwhile needs no closing
  std::set<uint32_t> ids(impl_->toasts.begin(), impl_->toasts.end());
  for (const auto& [id, alert] : impl_->alerts) ids.insert(id);
  if (impl_->statusId) ids.insert(impl_->statusId);
  // Each close is a round trip: when it returns, the server has taken it down.
  for (uint32_t id : ids) impl_->closeNotification(id);
  impl_->toasts.clear();
  impl_->alerts.clear();
  impl_->statusId = 0;
}

void DesktopUserInterface::hideToasts() {
  std::vector<uint32_t> ids;
  int fd = -1;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->processLocked();  // toasts that expired meanwhile need no closing
    ids.assign(impl_->toasts.begin(), impl_->toasts.end());
    for (uint32_t id : ids) impl_->closeNotification(id);
    if (!impl_->broken) fd = sd_bus_get_fd(impl_->bus);
  }
  if (ids.empty()) return;
  // Served here, not on the main loop: the caller (a capture on the main
  // thread) waits for the server's NotificationClosed before it grabs.
  auto deadline = std::chrono::steady_clock::now() + kHideTimeout;
  for (;;) {
    std::vector<std::function<void()>> answers;
    size_t left = 0;
    {
      std::lock_guard<std::mutex> lock(impl_->mu);
      impl_->processLocked();
      answers.swap(impl_->answers);
      for (uint32_t id : ids) left += impl_->toasts.count(id);
      if (left && (impl_->broken || std::chrono::steady_clock::now() >= deadline)) {
        Log::printf(kCloseUnconfirmed, left);
        for (uint32_t id : ids) impl_->toasts.erase(id);
        left = 0;
        fd = -1;
      }
    }
    impl_->dispatchAnswers(std::move(answers));
    if (!left) return;
    auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(std::clamp<long>(remaining.count(), 1, kPollSliceMs)));
  }
}

}  // namespace quillbox::platform
