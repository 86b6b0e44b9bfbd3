#include "quillboxWeeAppController.h"

#include <chrono>
#include <cstdlib>

#include "AppURL.h"
#include "AutoLogin/AutoLogin.h"
#include "CommonLib/StringExtension.h"
#include "FileProperty/FileProperty.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "Platform/Process/Threads.h"
#include "Platform/UI/Button.h"
#include "Platform/UI/ImageView.h"
#include "Platform/UI/TapGestureRecognizer.h"
#include "PluginInfo/PluginInfo.h"
#include "QBXUploadManager/QBXUploadManager.h"
#include "ScreenShotManager/ScreenShotManager.h"
#include "SharedSettings.h"
#include "VersionUpdateInfo/VersionUpdateInfo.h"

namespace quillbox {

using platform::Log;
using platform::Rect;
using platform::UserInterface;

namespace {
// The widget's own texts and addresses.
const char kRebuiltLog[] = "界面重写";
const char kUpdateMessage[] = "Sorelle(server)检测到新版本，是否更新？";
const char kUpdateLater[] = "暂不更新";
const char kUpdateNow[] = "更新";
const char kPackageURL[] = "cydia://package/com.velmor.quillbox.server";
const char kPhotoURL[] = "quillbox://saveEvidence/photo";
const char kVideoURL[] = "quillbox://saveEvidence/video";
const char kAudioURL[] = "quillbox://saveEvidence/audio";
constexpr int kToastMs = 2000;
constexpr int kChecksEvery = 100;

// The layout of the strip (points).
const Rect kRootFrame{2, 0, 316, 71};
const Rect kBackgroundFrame{0, 0, 316, 71};
constexpr int kBackgroundLeftCap = 5;
constexpr int kBackgroundTopCap = 71;
constexpr double kTitleTopInset = 60;
constexpr double kTitleFontSize = 11;

bool isMajorSystemVersionFive() {
  // The integer value of the version text: its leading decimal number.
  std::string v = platform::Environment::systemVersion();
  return std::atoi(v.c_str()) == 5;
}

void openURLText(const char* text) {
  UserInterface::Default().openURL(stringByAddingPercentEscapes(text));
}
}  // namespace

quillboxWeeAppController::quillboxWeeAppController() {
  // The widget's property store keeps its journal of created records and logs
  // its field updates; its upload manager shows the widget's shorter texts.
  FileProperty::setWidgetMode(true);
  QBXUploadManager::setWidgetMode(true);
}

quillboxWeeAppController::~quillboxWeeAppController() {
  stopCountdownTimer();
  for (auto& weak : shownAlerts_) {
    if (auto alert = weak.lock()) alert->setDelegate(nullptr);
  }
}

std::shared_ptr<platform::View> quillboxWeeAppController::view() {
  if (_view) return _view;
  const std::string bundle = platform::Environment::weeAppBundle();
  auto root = std::make_shared<platform::View>(kRootFrame);
  root->addSubview(std::make_shared<platform::ImageView>(
      kBackgroundFrame,
      platform::ViewImage::imageWithContentsOfFile(bundle + "/WeeAppBackground.png")
          .stretchableImage(kBackgroundLeftCap, kBackgroundTopCap)));

  struct ButtonLayout {
    Rect frame;
    const char* title;
    const char* image;
    void (quillboxWeeAppController::*action)();
  };
  static const ButtonLayout kButtons[] = {
      {{25, 5, 45, 45}, "截屏存证", "screenShot.png", &quillboxWeeAppController::actionScreenShot},
      {{100, 5, 45, 45}, "拍照存证", "photo.png", &quillboxWeeAppController::actionPhoto},
      {{175, 5, 45, 45}, "录像存证", "video.png", &quillboxWeeAppController::actionVideo},
      {{245, 5, 45, 45}, "录音存证", "record.png", &quillboxWeeAppController::actionRecord},
  };
  const bool useTapRecognizer = isMajorSystemVersionFive();
  for (size_t i = 0; i < std::size(kButtons); ++i) {
    const ButtonLayout& b = kButtons[i];
    auto button =
        makeButton(b.frame, b.title, (bundle + "/" + b.image).c_str(), b.action, useTapRecognizer);
    if (i == 3) Log::line(kRebuiltLog);
    root->addSubview(button);
  }
  _view = root;
  return _view;
}

std::shared_ptr<platform::Button> quillboxWeeAppController::makeButton(
    Rect frame, const char* title, const char* image, void (quillboxWeeAppController::*action)(),
    bool useTapRecognizer) {
  auto button = platform::Button::buttonWithType(platform::Button::Type::Custom);
  button->setFrame(frame);
  button->setTitle(title);
  button->setTitleEdgeInsets({kTitleTopInset, 0, 0, 0});
  button->setTitleFont(platform::Font::systemFontOfSize(kTitleFontSize));
  button->setBackgroundImage(platform::ViewImage::imageWithContentsOfFile(image));
  // The view and its actions live no longer than the controller that owns them.
  auto run = [this, action] { (this->*action)(); };
  if (useTapRecognizer) {
    auto tap = std::make_shared<platform::TapGestureRecognizer>(run);
    tap->setNumberOfTapsRequired(1);
    button->addGestureRecognizer(tap);
  } else {
    button->addTarget(run, platform::kControlEventTouchUpInside);
  }
  return button;
}

void quillboxWeeAppController::viewDidAppear() {
  platform::Threads::Default().startThread("widget-locate", &quillboxWeeAppController::setAppPath);
  AutoLogin::sharedAutoLogin().toAutoLogin();
  // The locator just started may not have found the container yet: this
  // showing is then neither counted nor checked.
  if (AppURL::sharedAppURL().appURL().empty()) return;
  int64_t shown = 0;
  if (auto info = PluginInfo::readPluginInfo()) {
    if (const PlistValue* v = info->find("update")) shown = v->integerValue();
  }
  if (shown % kChecksEvery == 0) {
    std::weak_ptr<int> alive = alive_;
    platform::Threads::Default().startThread("widget-update",
                                             [this, alive] { checkUpdateInfo(alive); });
  }
  PluginInfo::writePluginInfo();
}

void quillboxWeeAppController::setAppPath() {
  if (!AppURL::sharedAppURL().appURL().empty()) return;
  const std::string root = platform::Environment::appsRoot();
  auto entries = platform::FileSystem::Default().list(root);
  if (!entries) return;
  for (const auto& entry : *entries) {
    std::string candidate = root;
    candidate.append("/").append(entry);
    if (quillbox::setQuillboxAppPath(candidate)) return;
  }
}

void quillboxWeeAppController::checkUpdateInfoThread() {
  checkUpdateInfo(alive_);
}

void quillboxWeeAppController::checkUpdateInfo(const std::weak_ptr<int>& alive) {
  // Nothing of the controller is touched here: it may be gone by the time the
  // check ends; the main thread looks at `alive` before it calls back.
  VersionUpdateInfo info;
  bool announced = info.getVersionUpdateInfo();
  // The host may unload the widget or end once the answer is in.
  platform::Threads::releaseThreadState();
  platform::performOnMainThread(
      [this, alive, announced] {
        if (!alive.lock()) return;
        if (announced) {
          checkUpdateInfoSuccess();
        } else {
          checkUpdateInfoFail();
        }
      },
      true);
}

void quillboxWeeAppController::checkUpdateInfoSuccess() {
  auto alert = platform::AlertView::create("", kUpdateMessage, this, kUpdateLater, {kUpdateNow});
  alert->setTag(kUpdateAlertTag);
  showAlertTracked(alert);
}

void quillboxWeeAppController::alertViewClickedButtonAtIndex(platform::AlertView& alert,
                                                             int index) {
  if (alert.tag() == kUpdateAlertTag) {
    if (index == 1) UserInterface::Default().openURL(kPackageURL);
    return;
  }
  // Each prompt answers for its own screenshot, also after a newer one was shown.
  std::string path = ScreenShotManager::evidencePath(alert);
  if (index == 1) ScreenShotManager::preserveEvidence(path.empty() ? strFilePath_ : path);
}

void quillboxWeeAppController::actionPhoto() {
  openURLText(kPhotoURL);
}
void quillboxWeeAppController::actionVideo() {
  openURLText(kVideoURL);
}
void quillboxWeeAppController::actionRecord() {
  openURLText(kAudioURL);
}

void quillboxWeeAppController::actionScreenShot() {
  if (timer_ != 0) return;  // a countdown is already running
  UserInterface::Default().showToast(
      ScreenShotManager::countdownToastText(SharedSettings::captureSettings()),
      platform::ToastPosition::Center, kToastMs);
  startCountdownTimer();
}

void quillboxWeeAppController::startCountdownTimer() {
  timerLoop_ = platform::RunLoop::currentShared();
  timer_ = timerLoop_->addTimer(std::chrono::seconds(1), true, [this] { shot(); });
}

void quillboxWeeAppController::stopCountdownTimer() {
  if (timer_ != 0 && timerLoop_) timerLoop_->cancelTimer(timer_);
  timer_ = 0;
  timerLoop_.reset();
}

void quillboxWeeAppController::shot() {
  ++iTime_;
  PlistDict settings = SharedSettings::captureSettings();
  // Counting on past the length would never meet it again when the settings
  // were shortened during the countdown: such a count captures at once.
  if (iTime_ < SharedSettings::countdownSeconds(settings)) return;
  iTime_ = 0;
  stopCountdownTimer();

  ScreenShotManager::captureAndHandOff(settings, road());
}

ScreenShotManager::CaptureRoad quillboxWeeAppController::road() {
  return {getScreenShot, [this](const std::string& fileName, const std::string& fullPath) {
            showUploadAlert(fileName, fullPath);
          }};
}

std::string quillboxWeeAppController::getScreenShot() {
  // The widget names its files as the daemon does.
  return ScreenShotManager::getScreenShot();
}

void quillboxWeeAppController::playSound() {
  ScreenShotManager::playSound();
}

std::string quillboxWeeAppController::saveImageToLocal(const std::string& pngData,
                                                       const platform::Image* picture) {
  return ScreenShotManager::storeAndHandOff(pngData, picture, road());
}

void quillboxWeeAppController::showUploadAlert(const std::string& fileName,
                                               const std::string& fullPath) {
  strFilePath_ = fullPath;
  showAlertTracked(ScreenShotManager::evidenceAlert(fileName, fullPath, this));
}

void quillboxWeeAppController::showAlertTracked(const std::shared_ptr<platform::AlertView>& alert) {
  std::erase_if(shownAlerts_, [](const auto& w) { return w.expired(); });
  shownAlerts_.push_back(alert);
  alert->show();
}

bool quillboxWeeAppController::setQuillboxAppPath(const std::string& dir) {
  return quillbox::setQuillboxAppPath(dir);
}

std::string quillboxWeeAppController::getAppLibFilePath(const std::string& name) {
  return quillbox::getAppLibFilePath(name);
}

int32_t quillboxWeeAppController::formatVersion(const std::string& version, int32_t full) {
  return quillbox::formatVersion(version, full);
}

}  // namespace quillbox
