// PageUserInterface: the user-interface kit shown on the host's live page.
//
// Toasts, alerts (with their picture and label), status-bar messages, opened
// URLs and the idle-timer switch go to every open page as server-sent events.
// An alert stays open until it is answered (on a page, or by another backend
// of a CompositeUserInterface); a page that connects later is shown the open
// alerts. openURL also hands the URL to the URL opener (xdg-open) where one
// is installed; the event "openURL" says whether it was handed over (and why
// not), and "openURLDone" gives the opener's exit status once it ended (0:
// it took the URL).
//
// Thread safety: safe for concurrent use from any thread; answers are
// delivered on the main run loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "EventHub.h"
#include "Platform/UI/UserInterface.h"
#include "PublishedFiles.h"

namespace quillbox::weeapphost {

class PageUserInterface : public platform::UserInterface {
 public:
  // How long hideToasts() waits for the pages to confirm.
  static constexpr std::chrono::milliseconds kHideToastsWait{2000};

  // `urlOpener`: the program to hand opened URLs to ("" for none).
  PageUserInterface(EventHub& hub, PublishedFiles& files, std::string urlOpener);

  void showToast(const std::string& text, platform::ToastPosition pos, int durationMs) override;
  void showAlert(std::shared_ptr<platform::AlertView> alert) override;
  void showStatusBarMessage(const std::string& text, platform::StatusBarKind kind, int durationMs,
                            bool animated) override;
  void openURL(const std::string& url) override;
  void setIdleTimerDisabled(bool disabled) override;
  // Tells every page to take its toasts down and waits (at most
  // kHideToastsWait) until each page that may still show one has confirmed
  // it is gone from the screen. Returns at once when no toast can be showing.
  void hideToasts() override;

  // A page's answer to the open alert `alertId`. False when no alert of that
  // id is open or the index names no button. REQUIRES: main run loop.
  bool answerAlert(uint64_t alertId, int index);
  // Sends a page that just connected what it must show now (the open alerts).
  void greet(uint64_t client);

 private:
  std::string alertJson(uint64_t id, const platform::AlertView& alert);

  EventHub& hub_;
  PublishedFiles& files_;
  const std::string urlOpener_;
  std::mutex mu_;
  std::mutex openMu_;  // held while a URL is handed over and announced
  uint64_t nextUrlId_ = 1;
  uint64_t nextAlertId_ = 1;
  std::map<uint64_t, std::shared_ptr<platform::AlertView>> openAlerts_;
  std::map<uint64_t, std::string> openAlertJson_;
  uint64_t nextToastId_ = 1;
  uint64_t hideSeq_ = 0;
  std::chrono::steady_clock::time_point toastsGoneBy_{};
  bool idleTimerDisabled_ = false;
};

}  // namespace quillbox::weeapphost
