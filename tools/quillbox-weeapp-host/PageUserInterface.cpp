#include "PageUserInterface.h"

#include <nlohmann/json.hpp>

#include "Platform/Process/Log.h"
#include "Platform/Process/Process.h"

namespace quillbox::weeapphost {

using Json = nlohmann::ordered_json;
using platform::AlertSubview;
using std::chrono::steady_clock;

namespace {
const char kNotConfirmedLog[] =
    "quillbox-weeapp-host: a page did not confirm that its toasts are gone; capturing anyway";
const char kOpenerMissingLog[] =
    "quillbox-weeapp-host: the URL opener %s is not installed; %s is only shown on the page";
const char kOpenerRefusedLog[] = "quillbox-weeapp-host: %s did not take %s (exit status %d)";
// A page fades a toast out after its time; it may still show for this long.
constexpr std::chrono::milliseconds kToastFade{500};

std::string dump(const Json& j) {
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
}  // namespace

PageUserInterface::PageUserInterface(EventHub& hub, PublishedFiles& files, std::string urlOpener)
    : hub_(hub), files_(files), urlOpener_(std::move(urlOpener)) {}

void PageUserInterface::showToast(const std::string& text, platform::ToastPosition pos,
                                  int durationMs) {
  uint64_t id;
  {
    std::lock_guard<std::mutex> lock(mu_);
    id = nextToastId_++;
    auto until = steady_clock::now() + std::chrono::milliseconds(durationMs) + kToastFade;
    if (until > toastsGoneBy_) toastsGoneBy_ = until;
  }
  hub_.broadcast(
      "toast", dump(Json{{"id", id},
                         {"text", text},
                         {"position", pos == platform::ToastPosition::Center ? "center" : "bottom"},
                         {"durationMs", durationMs}}));
}

void PageUserInterface::hideToasts() {
  uint64_t seq;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (steady_clock::now() >= toastsGoneBy_) return;
    seq = ++hideSeq_;
  }
  // Only the pages open now can show a toast: a later one never got it.
  std::vector<uint64_t> pages = hub_.clients();
  hub_.broadcast("hideToasts", dump(Json{{"seq", seq}}));
  if (!hub_.waitForAcknowledgements(pages, seq, kHideToastsWait)) {
    platform::Log::line(kNotConfirmedLog);
  }
  std::lock_guard<std::mutex> lock(mu_);
  toastsGoneBy_ = steady_clock::now();
}

std::string PageUserInterface::alertJson(uint64_t id, const platform::AlertView& alert) {
  Json subviews = Json::array();
  for (const AlertSubview& v : alert.subviews()) {
    Json frame = Json::array({v.x, v.y, v.width, v.height});
    if (v.kind == AlertSubview::Kind::Picture) {
      subviews.push_back(
          Json{{"kind", "picture"}, {"frame", frame}, {"url", files_.urlFor(v.path)}});
    } else {
      subviews.push_back(
          Json{{"kind", "label"},
               {"frame", frame},
               {"text", v.text},
               {"font", v.font},
               {"color", Json::array({v.color[0], v.color[1], v.color[2], v.color[3]})},
               {"alignment", v.alignment}});
    }
  }
  return dump(Json{{"id", id},
                   {"title", alert.title()},
                   {"message", alert.message()},
                   {"buttons", alert.buttons()},
                   {"tag", alert.tag()},
                   {"subviews", std::move(subviews)}});
}

void PageUserInterface::showAlert(std::shared_ptr<platform::AlertView> alert) {
  if (!alert) return;
  uint64_t id;
  {
    std::lock_guard<std::mutex> lock(mu_);
    id = nextAlertId_++;
  }
  std::string json = alertJson(id, *alert);
  {
    std::lock_guard<std::mutex> lock(mu_);
    openAlerts_[id] = alert;
    openAlertJson_[id] = json;
  }
  // However it is answered, every page takes it down.
  alert->addAnsweredHook([this, id](platform::AlertView&, int index, const std::string& by) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      openAlerts_.erase(id);
      openAlertJson_.erase(id);
    }
    hub_.broadcast("alertClosed", dump(Json{{"id", id}, {"index", index}, {"by", by}}));
  });
  hub_.broadcast("alert", json);
}

bool PageUserInterface::answerAlert(uint64_t alertId, int index) {
  std::shared_ptr<platform::AlertView> alert;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = openAlerts_.find(alertId);
    if (it == openAlerts_.end()) return false;
    alert = it->second;
  }
  return alert->deliverAnswer(index, "user");
}

void PageUserInterface::greet(uint64_t client) {
  std::vector<std::string> alerts;
  bool idle;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& [id, json] : openAlertJson_) alerts.push_back(json);
    idle = idleTimerDisabled_;
  }
  for (const auto& a : alerts) hub_.sendTo(client, "alert", a);
  if (idle) hub_.sendTo(client, "idleTimer", dump(Json{{"disabled", true}}));
}

void PageUserInterface::showStatusBarMessage(const std::string& text, platform::StatusBarKind kind,
                                             int durationMs, bool animated) {
  hub_.broadcast("statusBar",
                 dump(Json{{"text", text},
                           {"kind", kind == platform::StatusBarKind::Plain ? "plain" : "finished"},
                           {"durationMs", durationMs},
                           {"animated", animated}}));
}

void PageUserInterface::openURL(const std::string& url) {
  // The opener's exit is reported after the event that announces it: the
  // reaping thread waits here until that event is out.
  std::lock_guard<std::mutex> announcing(openMu_);
  uint64_t id;
  {
    std::lock_guard<std::mutex> lock(mu_);
    id = nextUrlId_++;
  }
  // Why the URL went nowhere: "none" (no opener asked for), "missing" (not
  // installed), "failed" (could not be started); "" when it was handed over.
  std::string notHandedOver = "none";
  if (!urlOpener_.empty()) {
    notHandedOver = "missing";
    if (auto opener = platform::Process::findExecutable(urlOpener_)) {
      notHandedOver = "failed";
      auto exited = [this, id, url](int exitStatus) {
        std::lock_guard<std::mutex> announced(openMu_);
        if (exitStatus != 0) {
          platform::Log::printf(kOpenerRefusedLog, urlOpener_.c_str(), url.c_str(), exitStatus);
        }
        hub_.broadcast("openURLDone", dump(Json{{"id", id}, {"exitStatus", exitStatus}}));
      };
      if (platform::Process::spawnDetached({*opener, url}, exited)) notHandedOver.clear();
    } else {
      platform::Log::printf(kOpenerMissingLog, urlOpener_.c_str(), url.c_str());
    }
  }
  hub_.broadcast("openURL", dump(Json{{"id", id},
                                      {"url", url},
                                      {"opener", urlOpener_},
                                      {"handedOver", notHandedOver.empty()},
                                      {"notHandedOver", notHandedOver}}));
}

void PageUserInterface::setIdleTimerDisabled(bool disabled) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (idleTimerDisabled_ == disabled) return;
    idleTimerDisabled_ = disabled;
  }
  hub_.broadcast("idleTimer", dump(Json{{"disabled", disabled}}));
}

}  // namespace quillbox::weeapphost
