#include "ScreenShotManager/ScreenShotManager.h"

#include <chrono>

#include "AppURL.h"
#include "Base/File.h"
#include "C2pa/ContentCredentials.h"
#include "FileProperty/FileProperty.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Loop/RunLoop.h"
#include "Platform/Media/ImageCodec.h"
#include "Platform/Media/Screen.h"
#include "Platform/Media/SystemSound.h"
#include "Platform/Process/Clock.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "Platform/Process/TimeFormat.h"
#include "Platform/UI/UserInterface.h"
#include "Proof/EvidenceProof.h"
#include "QBXUploadManager/QBXUploadManager.h"
#include "ScreenShotManager/CaptureNotice.h"
#include "SharedSettings.h"
#include "UIImageThumbnail/UIImageThumbnailToLocal.h"

namespace quillbox {

using platform::FileSystem;
using platform::Log;

namespace {
// The system's own texts.
const char kDefaultCountdownToast[] = "5秒之后开始截屏";
const char kCountdownToastFormat[] = "%d秒之后开始截屏";
const char kNoUserLog[] = "日志:没有登录用户, 截屏保存在 %s";
const char kSavedLog[] = "日志:截屏已保存 %s";
const char kCaptureFailedLog[] = "日志:截屏失败: %s";
const char kEncodeFailed[] = "the picture could not be encoded as PNG";
// What the person is told when no picture was taken: the cause and what to do.
const char kCaptureFailedToast[] = "截屏失败：%s；未保存任何文件";
const char kNoDisplayText[] =
    "没有找到屏幕（WAYLAND_DISPLAY 和 DISPLAY 都未设置），请在桌面会话中运行";
const char kXWaylandText[] = "DISPLAY 是 XWayland，读不到真实的屏幕，请设置 WAYLAND_DISPLAY";
const char kNoCaptureText[] = "桌面不提供截屏接口，请安装 xdg-desktop-portal";
const char kNoPortalText[] = "桌面门户不可用，请安装 xdg-desktop-portal 及桌面的门户后端";
const char kCancelledText[] = "截屏被取消，请在桌面的隐私设置中允许截屏";
const char kPortalFailedText[] = "桌面门户拒绝了截屏，请查看日志";
const char kTimedOutText[] = "屏幕没有及时应答，请稍后再试";
const char kUnreadableText[] = "无法读取屏幕内容，请查看日志";
constexpr int kFailureToastMs = 3000;
const char kSoundSkippedLog[] = "日志:快门声音不可用, 跳过 %s";
constexpr int kToastMs = 2000;
// The evidence prompt.
const char kAlertTitle[] = "截屏成功";
const char kAlertMessage[] = "\n\n\n\n\n\n\n\n\n\n\n\n";
const char kPreserveLater[] = "稍后存证";
const char kPreserve[] = "存证";
const char kOldVersionToast[] = "旧版本不被允许上传，请更新Sorelle客户端";
const char kScreenshotFolderName[] = "手机截屏";
const char kLabelFont[] = "system 14";
constexpr int kUpdateAlertTag = 2;  // the widget's update prompt

// The sound's completion: release it and end the nested run of playSound().
void SoundFinished(uint32_t soundId) {
  platform::SystemSound::Default().dispose(soundId);
  platform::RunLoop::current().stop();
}
}  // namespace

ScreenShotManager& ScreenShotManager::sharedManager() {
  static ScreenShotManager* instance = new ScreenShotManager();
  return *instance;
}

void screenShotPort(const std::string& /*name*/) {
  ScreenShotManager::sharedManager().screenShotPort();
}

int ScreenShotManager::countdownSeconds() {
  return SharedSettings::countdownSeconds(SharedSettings::captureSettings());
}

std::string ScreenShotManager::countdownToastText(const PlistDict& settings) {
  const PlistValue* v = settings.find("screenshotsecond");
  bool useDefault = !v || v->integerValue() < 1;
  return useDefault ? std::string(kDefaultCountdownToast)
                    : strprintf(kCountdownToastFormat, SharedSettings::countdownSeconds(settings));
}

PlistDict ScreenShotManager::triggerSettings() {
  {
    // The first trigger after start-up counts down with the defaults (5 s,
    // shutter sound on): it always has, as the client application used to be
    // located only by the first capture. The daemon now locates it at start.
    std::lock_guard<std::mutex> lock(mu_);
    if (!triggered_) {
      triggered_ = true;
      return {};
    }
  }
  return SharedSettings::captureSettings();
}

void ScreenShotManager::screenShotPort() {
  PlistDict settings = triggerSettings();
  platform::UserInterface::Default().showToast(countdownToastText(settings),
                                               platform::ToastPosition::Center, kToastMs);
  shot(settings);
}

void ScreenShotManager::shot() {
  shot(triggerSettings());
}

void ScreenShotManager::shot(const PlistDict& settings) {
  // The settings are read once per trigger.
  int seconds = SharedSettings::countdownSeconds(settings);
  // The countdown is a blocking wait of one second per step (Clock::sleepFor).
  for (int i = 0; i < seconds; ++i) platform::Clock::Default().sleepFor(std::chrono::seconds(1));

  captureAndHandOff(settings, road());
}

ScreenShotManager::CaptureRoad ScreenShotManager::road() {
  return {getScreenShot, [this](const std::string& fileName, const std::string& fullPath) {
            showUploadAlert(fileName, fullPath);
          }};
}

std::string ScreenShotManager::captureAndHandOff(const PlistDict& settings,
                                                 const CaptureRoad& road) {
  // The countdown toast must not end up in the evidence.
  platform::UserInterface::Default().hideToasts();
  platform::ScreenCapture shot = platform::Screen::Default().capture();
  if (!shot) {
    refuseCapture(shot.failure, shot.reason);
    return {};
  }
  std::optional<std::string> png = platform::ImageCodec::encodePNG(*shot);
  if (!png) {
    refuseCapture(platform::ScreenFailure::Unreadable, kEncodeFailed);
    return {};
  }
  if (!SharedSettings::isSilent(settings)) playSound();

  if (!locateQuillboxApp()) {
    CaptureNotice::noClientApplication();
    return {};
  }
  // Capture settings that can't be read gave this capture the defaults: say so.
  if (auto bad = CaptureNotice::unreadableSettingsPath(); !bad.empty())
    CaptureNotice::unreadableSettings(bad);
  return storeAndHandOff(*png, &*shot.image, road, &shot.source);
}

std::string ScreenShotManager::captureFailedToastText(platform::ScreenFailure why) {
  using platform::ScreenFailure;
  const char* text = kUnreadableText;
  switch (why) {
    case ScreenFailure::NoDisplay:
      text = kNoDisplayText;
      break;
    case ScreenFailure::XWaylandOnly:
      text = kXWaylandText;
      break;
    case ScreenFailure::CompositorWithoutCapture:
      text = kNoCaptureText;
      break;
    case ScreenFailure::PortalUnavailable:
      text = kNoPortalText;
      break;
    case ScreenFailure::PortalCancelled:
      text = kCancelledText;
      break;
    case ScreenFailure::PortalFailed:
      text = kPortalFailedText;
      break;
    case ScreenFailure::TimedOut:
      text = kTimedOutText;
      break;
    case ScreenFailure::None:
    case ScreenFailure::Unreadable:
      break;
  }
  return strprintf(kCaptureFailedToast, text);
}

void ScreenShotManager::refuseCapture(platform::ScreenFailure why, const std::string& reason) {
  Log::printf(kCaptureFailedLog, reason.c_str());
  platform::UserInterface::Default().showToast(captureFailedToastText(why),
                                               platform::ToastPosition::Bottom, kFailureToastMs);
}

std::string ScreenShotManager::getScreenShot() {
  using platform::TimeFormat;
  const auto now = platform::Clock::Default().now();
  return strprintf("ScreenShot_%s_%s.png",
                   TimeFormat::format(now, "%Y%m%d", TimeFormat::Zone::Local).c_str(),
                   TimeFormat::format(now, "%H%M%S", TimeFormat::Zone::Local).c_str());
}

void ScreenShotManager::playSound() {
  std::string path = platform::Environment::sound();
  std::optional<uint32_t> sound = platform::SystemSound::Default().create(path);
  if (!sound) {
    Log::printf(kSoundSkippedLog, path.c_str());
    return;
  }
  uint32_t id = *sound;
  platform::SystemSound::Default().addCompletion(id, [id] { SoundFinished(id); });
  // The sound guarantees its completion within the timeout, so this nested run ends.
  platform::SystemSound::Default().play(id, std::chrono::seconds(3));
  platform::RunLoop::current().run();
}

std::string ScreenShotManager::saveImageToLocal(const std::string& pngData,
                                                const platform::Image* picture) {
  return storeAndHandOff(pngData, picture, road());
}

std::string ScreenShotManager::storeAndHandOff(const std::string& pngData,
                                               const platform::Image* picture,
                                               const CaptureRoad& road,
                                               const platform::ScreenSource* source) {
  std::string fileName = road.fileName();
  // The credentials go in before the file is stored, hashed and recorded.
  std::string fullPath =
      storeScreenshot(ContentCredentials::addToCapture(pngData, fileName), fileName);
  // Nothing half-written is left behind; the hand-off has no file to work on.
  if (fullPath.empty()) return {};
  handOff(fileName, fullPath, picture, road, source);
  return fullPath;
}

void ScreenShotManager::handOff(const std::string& fileName, const std::string& fullPath,
                                const platform::Image* picture, const CaptureRoad& road,
                                const platform::ScreenSource* source) {
  File record;
  record.setFPath(fullPath);
  record.setFtype(FileKind::Screenshot);
  const bool recorded = FileProperty::sharedFileProperty().createFileProperty(record);
  // The proof anyone can check; its time stamp comes in the background.
  std::optional<ScreenSize> screen;
  if (picture)
    screen =
        ScreenSize{picture->width, picture->height, source ? *source : platform::ScreenSource{}};
  EvidenceProof::proveNewEvidence(fullPath, FileKind::Screenshot, screen);

  // Without its record the file can't pass the check before an upload: it
  // is not offered, and the person learns why.
  if (recorded)
    road.showPrompt(fileName, fullPath);
  else
    CaptureNotice::notRecorded(fullPath);
  writeThumbnails(fileName, fullPath, picture);
}

std::string ScreenShotManager::storeScreenshot(const std::string& pngData,
                                               const std::string& fileName) {
  std::optional<std::string> user = SharedSettings::currentUserName();
  std::string folderName = user ? *user : std::string(SharedSettings::kNoUserFolder);
  std::string folder = strprintf("%s/Documents/ScreenShot/%s",
                                 AppURL::sharedAppURL().appURL().c_str(), folderName.c_str());
  if (!user) Log::printf(kNoUserLog, folder.c_str());
  auto& fs = FileSystem::Default();
  if (!fs.exists(folder)) fs.createDirectories(folder);
  std::string fullPath = folder + "/" + fileName;
  if (!fs.writeAtomically(fullPath, pngData)) {
    CaptureNotice::screenshotNotWritable(folder, fullPath);
    return {};
  }
  Log::printf(kSavedLog, fullPath.c_str());
  return fullPath;
}

void ScreenShotManager::postCaptureHandOff(const std::string& fileName, const std::string& fullPath,
                                           const platform::Image* picture) {
  handOff(fileName, fullPath, picture, road());
}

void ScreenShotManager::writeThumbnails(const std::string& fileName, const std::string& fullPath,
                                        const platform::Image* picture) {
  // The capture still holds the picture; PNG is lossless, so it gives the same
  // thumbnails as decoding the stored file again, without the decode.
  if (picture) {
    UIImageThumbnailToLocal::ThumbnalToLocal(*picture, fileName, false, 2);
    return;
  }
  auto bytes = FileSystem::Default().readFile(fullPath);
  std::optional<platform::Image> stored;
  if (bytes) stored = platform::ImageCodec::decodePNG(*bytes);
  if (stored) UIImageThumbnailToLocal::ThumbnalToLocal(*stored, fileName, false, 2);
}

std::shared_ptr<platform::AlertView> ScreenShotManager::evidenceAlert(
    const std::string& fileName, const std::string& fullPath,
    platform::AlertViewDelegate* delegate) {
  auto alert = platform::AlertView::create(kAlertTitle, kAlertMessage, delegate, kPreserveLater,
                                           {kPreserve});
  alert->setTag(0);
  alert->addSubview(platform::AlertSubview::picture(70, 44, 135, 210, fullPath));
  alert->addSubview(platform::AlertSubview::label(
      8, 260, 265, 30, fileName, kLabelFont, {239.0 / 255.0, 1.0, 163.0 / 255.0, 1.0}, "center"));
  return alert;
}

void ScreenShotManager::showUploadAlert(const std::string& fileName, const std::string& fullPath) {
  setStrFilePath(fullPath);
  evidenceAlert(fileName, fullPath, this)->show();
}

void ScreenShotManager::alertViewClickedButtonAtIndex(platform::AlertView& alert, int index) {
  if (alert.tag() == kUpdateAlertTag || index != 1) return;
  // The prompt answers for the file it shows: a newer prompt shown before this
  // answer must not take the confirmation away from this file.
  std::string path = evidencePath(alert);
  preserveEvidence(path.empty() ? strFilePath() : path);
}

std::string ScreenShotManager::evidencePath(const platform::AlertView& alert) {
  for (const auto& v : alert.subviews())
    if (v.kind == platform::AlertSubview::Kind::Picture) return v.path;
  return {};
}

void ScreenShotManager::preserveEvidence(const std::string& fullPath) {
  // A service that can't be reached or refuses is told, not only logged.
  CaptureNotice::watchUploads();
  if (!isUploadAllowed()) {
    platform::UserInterface::Default().showToast(kOldVersionToast, platform::ToastPosition::Center,
                                                 kToastMs);
    return;
  }
  std::vector<std::shared_ptr<File>> files;
  if (auto record = QBXUploadManager::getFileWillUploadWithPath(fullPath, FileKind::Screenshot)) {
    record->setFtype(FileKind::Screenshot);
    record->setFServerPathName(std::string(kScreenshotFolderName));
    files.push_back(record);
  }
  QBXUploadManager::sharedInstance().startUploadWithFiles(files);
}

std::string ScreenShotManager::strFilePath() const {
  std::lock_guard<std::mutex> lock(mu_);
  return strFilePath_;
}

void ScreenShotManager::setStrFilePath(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  strFilePath_ = path;
}

}  // namespace quillbox
