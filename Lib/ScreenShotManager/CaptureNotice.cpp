#include "ScreenShotManager/CaptureNotice.h"

#include <any>

#include "AppURL.h"
#include "Base/File.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Files/PropertyList.h"
#include "Platform/Loop/NotificationCenter.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "Platform/UI/UserInterface.h"
#include "QBXUploadManager/QBXUploadTask.h"
#include "QBXUploadManager/UploadRetry.h"
#include "Request/ServiceReachability.h"
#include "Request/Z_Request.h"
#include "SharedSettings.h"

namespace quillbox {

using platform::Log;

namespace {
// The system's own texts: the toast names the cause and what to do, the log
// line carries the detail.
const char kNoClientToast[] = "没有找到Sorelle客户端，截屏未保存：请先安装并登录Sorelle客户端";
const char kNoClientLog[] =
    "日志:没有找到客户端, 截屏未保存: %s 下没有含 quillbox.app 的文件夹 (安装客户端, 或让 "
    "QUILLBOX_APPS_ROOT 指向客户端所在的文件夹)";
const char kSettingsToast[] =
    "截屏设置无法读取，本次按默认设置截屏：请在Sorelle客户端中重新保存设置";
const char kSettingsLog[] = "日志:截屏设置无法读取, 按默认设置 (5秒倒计时, 有快门声): %s";
const char kNotWritableToast[] = "截屏未保存：无法写入截屏文件夹，请检查它的权限和磁盘空间";
const char kNotWritableLog[] =
    "日志:截屏保存失败 %s: 无法写入 %s (检查该文件夹的权限和磁盘空间; 原因见上一行)";
// A confirmed upload comes back by itself in the daemon (UploadRetry); the
// texts say so there, and what to do by hand elsewhere.
const char kUnreachableToast[] =
    "无法连接存证服务，截屏已保存在本机：请检查网络和服务地址后重新上传";
const char kUnreachableRetryToast[] =
    "无法连接存证服务，截屏已保存在本机：服务恢复后会自动上传，请检查网络和服务地址";
const char kUnreachableLog[] =
    "日志:存证服务无法连接 %s, 截屏已保存未上传: %s (检查网络和 com.velmor.loacal.plist 的 "
    "url; %s)";
const char kRefusedToast[] =
    "存证服务拒绝了上传（%s），截屏已保存在本机：请在Sorelle客户端登录后重新上传";
const char kRefusedRetryToast[] =
    "存证服务拒绝了上传（%s），截屏已保存在本机：请在Sorelle客户端登录，登录后会自动上传";
const char kRefusedLog[] =
    "日志:存证服务拒绝上传 %s (HTTP %d: %s), 截屏已保存未上传: %s (在客户端登录; %s)";
const char kNoAddressToast[] =
    "存证服务地址无法读取，截屏已保存在本机：请在Sorelle客户端中重新设置服务地址后重新上传";
const char kNoAddressRetryToast[] =
    "存证服务地址无法读取，截屏已保存在本机：请在Sorelle客户端中重新设置服务地址，之后会自动上传";
const char kNoAddressLog[] = "日志:存证服务地址无法读取 (%s), 截屏已保存未上传: %s (%s)";
const char kByHand[] = "之后可用 quillbox upload 重新上传";
const char kByItself[] = "之后自动重试上传";
const char kNotRecordedToast[] =
    "截屏已保存在本机，但不能存证：%s，请在Sorelle客户端登录后重新截屏";
const char kNotRecordedLog[] = "日志:截屏不能存证, 不提供上传: %s (%s)";
const char kStoreNotWrittenToast[] =
    "截屏已保存在本机，但不能存证：无法写入文件属性库，请检查磁盘空间和权限后重新截屏";
const char kStoreNotWrittenLog[] = "文件属性库未写入, 原因见上文";
const char kCreateFailNote[] = "createFileOnServerFail";
const char kUserInfoTask[] = "Task";
constexpr int kToastMs = 3000;

void toast(const std::string& text) {
  platform::UserInterface::Default().showToast(text, platform::ToastPosition::Bottom, kToastMs);
}
}  // namespace

void CaptureNotice::noClientApplication() {
  Log::printf(kNoClientLog, platform::Environment::appsRoot().c_str());
  toast(kNoClientToast);
}

void CaptureNotice::unreadableSettings(const std::string& path) {
  Log::printf(kSettingsLog, path.c_str());
  toast(kSettingsToast);
}

void CaptureNotice::screenshotNotWritable(const std::string& folder, const std::string& fullPath) {
  Log::printf(kNotWritableLog, fullPath.c_str(), folder.c_str());
  toast(kNotWritableToast);
}

void CaptureNotice::notRecorded(const std::string& fullPath) {
  if (auto problem = SharedSettings::userProblem()) {
    Log::printf(kNotRecordedLog, fullPath.c_str(), problem->log.c_str());
    toast(strprintf(kNotRecordedToast, problem->toast.c_str()));
    return;
  }
  Log::printf(kNotRecordedLog, fullPath.c_str(), kStoreNotWrittenLog);
  toast(kStoreNotWrittenToast);
}

void CaptureNotice::uploadNotStarted(const std::string& fullPath, int status,
                                     const std::string& reason) {
  const bool retried = UploadRetry::shared().enabled();
  const char* then = retried ? kByItself : kByHand;
  std::string service = Z_Request::apiBaseURL();
  if (status == 0) {
    if (auto problem = ServiceReachability::serviceAddressProblem()) {
      Log::printf(kNoAddressLog, problem->c_str(), fullPath.c_str(), then);
      toast(retried ? kNoAddressRetryToast : kNoAddressToast);
      return;
    }
    Log::printf(kUnreachableLog, service.c_str(), fullPath.c_str(), then);
    toast(retried ? kUnreachableRetryToast : kUnreachableToast);
    return;
  }
  Log::printf(kRefusedLog, service.c_str(), status, reason.c_str(), fullPath.c_str(), then);
  toast(strprintf(retried ? kRefusedRetryToast : kRefusedToast, reason.c_str()));
}

void CaptureNotice::watchUploads() {
  static const bool watching = [] {
    platform::NotificationCenter::Default().addObserver(
        kCreateFailNote, [](const platform::Notification& note) {
          auto it = note.userObjects.find(kUserInfoTask);
          const auto* task =
              it == note.userObjects.end() ? nullptr : std::any_cast<QBXUploadTaskPtr>(&it->second);
          if (!task || !*task) return;
          FilePtr file = (*task)->file();
          std::string path = file && file->fPath() ? *file->fPath() : std::string();
          // A file whose upload is being retried was told of once already.
          if (UploadRetry::shared().isRetrying(path)) return;
          uploadNotStarted(path, (*task)->preparationFailureStatus(),
                           note.userInfo.getString("reason"));
        });
    return true;
  }();
  (void)watching;
}

std::string CaptureNotice::unreadableSettingsPath() {
  if (AppURL::sharedAppURL().appURL().empty()) return {};
  std::string path = getAppLibFilePath(SharedSettings::kCaptureSettingsFile);
  if (!platform::FileSystem::Default().exists(path)) return {};
  auto value = platform::PropertyList::read(path);
  return value && value->asDict() ? std::string() : path;
}

}  // namespace quillbox
