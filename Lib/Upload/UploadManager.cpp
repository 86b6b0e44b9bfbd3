#include "Upload/UploadManager.h"

#include "CommonLib/CommonLib.h"
#include "FileProperty/FileProperty.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Loop/NotificationCenter.h"
#include "Platform/Loop/RunLoop.h"
#include "Platform/Process/Log.h"
#include "Platform/UI/UserInterface.h"
#include "PropertyList/PlistValue.h"
#include "Request/ServiceReachability.h"
#include "Request/Z_Request.h"

namespace quillbox {

using platform::NotificationCenter;
using platform::UserInterface;

namespace {

// Texts of the older uploader.
const char kLogParamsMissing[] = "参数不全 path:%s lowkey:%s";
const char kLogParameters[] = "上传文件参数：%s";
const char kLogNotCreated[] = "创建失败";
const char kLogStarted[] = "开始上传";
const char kLogProgress[] = "all upload：%lld,总大小：%lld";
const char kLogFinishing[] = "UploadManager finishing";
const char kLogFail[] = "UploadManager fail";
const char kLogCancel[] = "cancel";
const char kLogReleased[] = "释放上传对象";
const char kToastNoNetwork[] = "无网络连接。";
const char kMessageAdded[] = "添加 1 个任务到上传队列!";
const char kMessageFailed[] = "\"%s\"上传失败!";
const char kProgressAllSent[] = "0.95";
const char kService[] = "uploadPlainFileStream";
const char kParametersFormat[] = "service=%s&id=%s";
const char kURLFormat[] = "%s%s?%s";
constexpr int kToastMs = 3000;
constexpr int kAddedMs = 2000;
constexpr int kFailedMs = 3000;

std::string orNull(const File::Text& text) {
  return text ? *text : "(null)";
}

bool nonEmpty(const File::Text& text) {
  return text && !text->empty();
}

// The leading integer of a progress text ("1.000000" gives 1).
int64_t integerPart(const File::Text& progress) {
  return PlistValue(progress.value_or("0")).integerValue();
}

}  // namespace

std::shared_ptr<UploadManager> UploadManager::create() {
  return std::shared_ptr<UploadManager>(new UploadManager());
}

UploadManager::~UploadManager() {
  delegate_.store(nullptr);
  if (_URLConnection) {
    _URLConnection->setDelegate(nullptr);
    _URLConnection->cancel();
  }
  platform::Log::line(kLogReleased);
}

bool UploadManager::updateFileProperty(const std::string& name, const std::string& state) {
  return FileProperty::sharedFileProperty().updateFileProperty(name, PlistValue(state));
}

std::string UploadManager::stringURLEncode(const std::string& text) {
  return Z_Request::stringURLEncode(text);
}

void UploadManager::post(const char* name) {
  NotificationCenter::Default().post(
      name, name == std::string(kNoteUpload) ? std::any(file_) : std::any(this));
}

bool UploadManager::start() {
  if (!file_ || !nonEmpty(file_->fPath()) || !nonEmpty(file_->fileID())) {
    NSLog(kLogParamsMissing, file_ ? orNull(file_->fPath()).c_str() : "(null)",
          file_ ? orNull(file_->fileID()).c_str() : "(null)");
    return false;
  }
  if (!ServiceReachability::isServiceReachable()) {
    UserInterface::Default().showToast(kToastNoNetwork, platform::ToastPosition::Bottom, kToastMs);
    return false;
  }
  const std::string path = *file_->fPath();
  const std::string parameters = strprintf(kParametersFormat, kService, file_->fileID()->c_str());
  if (auto attrs = platform::FileSystem::Default().attributes(path)) theFileSize_ = attrs->size;
  file_->setFComment(file_->fLen());
  file_->setFState(std::string(kStateUploading));

  platform::HttpRequest request;
  request.url = stringURLEncode(strprintf(kURLFormat, Z_Request::apiBaseURL().c_str(),
                                          "file/upload.json", parameters.c_str()));
  NSLog(kLogParameters, request.url.c_str());
  request.method = "POST";
  request.headers = Z_Request::cookieRequestHeaders(false);

  const bool set = rang_.location != UploadRange::kNotFound;
  const int64_t offset = set ? static_cast<int64_t>(rang_.location) : 0;
  uploadedSize_ = offset;
  _URLConnection =
      FileUploadConnection::connectionWithRequest(std::move(request), this, path, offset);
  if (!_URLConnection) {
    platform::Log::line(kLogNotCreated);
    return false;
  }
  _URLConnection->setDelegate(this);
  platform::Log::line(kLogStarted);
  updateFileProperty(platform::lastPathComponent(path), kStateUploading);
  file_->setFState(std::string(kStateStarting));
  UserInterface::Default().showStatusBarMessage(kMessageAdded, platform::StatusBarKind::Plain,
                                                kAddedMs, true);
  return true;
}

void UploadManager::cancel() {
  if (!_URLConnection) return;
  auto keep = shared_from_this();
  platform::Log::line(kLogCancel);
  _URLConnection->cancel();
  _URLConnection.reset();
  changeState();
}

void UploadManager::connectionDidSendBodyData(FileUploadConnection&, int64_t,
                                              int64_t totalBytesWritten, int64_t) {
  if (!ServiceReachability::isServiceReachable()) {
    UserInterface::Default().showToast(kToastNoNetwork, platform::ToastPosition::Bottom, kToastMs);
    return;
  }
  auto keep = shared_from_this();
  const int64_t onServer = totalBytesWritten + uploadedSize_;
  if (auto* d = delegate_.load()) d->didSendBodyDataBytes(onServer, theFileSize_);
  // An empty file counts as wholly sent rather than 0/0.
  const float fraction =
      theFileSize_ > 0 ? static_cast<float>(onServer) / static_cast<float>(theFileSize_) : 1.0f;
  file_->setFProgress(strprintf("%f", static_cast<double>(fraction)));
  file_->setFState(std::string(kStateUploading));
  if (integerPart(file_->fProgress()) == 1) file_->setFProgress(std::string(kProgressAllSent));
  file_->setFComment(CommonLib::formatSpace(static_cast<float>(onServer)) + "/" +
                     CommonLib::formatSpace(static_cast<float>(theFileSize_)));
  NSLog(kLogProgress, static_cast<long long>(onServer), static_cast<long long>(theFileSize_));
  post(kNoteUpload);
}

void UploadManager::connectionDidFinishLoading(FileUploadConnection&) {
  auto keep = shared_from_this();
  _URLConnection.reset();
  platform::Log::line(kLogFinishing);
  file_->setFState(std::string(kStateFinished));
  file_->setFComment(file_->fLen());
  NSLog("%s", orNull(file_->fComment()).c_str());
  file_->setFProgress(strprintf("%f", 1.0));
  platform::performOnMainThread([keep] { keep->finish(); }, true);
  post(kNoteUpload);
  if (auto* d = delegate_.load()) d->didFinishSending();
  post(kNoteReleaseUpload);
}

void UploadManager::connectionDidFailWithError(FileUploadConnection&, const std::string& error) {
  auto keep = shared_from_this();
  _URLConnection.reset();
  changeState();
  platform::Log::line(kLogFail);
  platform::performOnMainThread(
      [keep, error] {
        if (auto* d = keep->delegate_.load()) d->uploadFailed(error);
      },
      false);
}

void UploadManager::changeState() {
  auto keep = shared_from_this();
  file_->setFState(
      std::string(integerPart(file_->fProgress()) == 1 ? kStateFinished : kStateFailed));
  platform::performOnMainThread([keep] { keep->failded(); }, true);
  post(kNoteUpload);
  post(kNoteReleaseUpload);
}

void UploadManager::finish() {
  // The overlay has no animation style of its own to switch off here.
}

void UploadManager::failded() {
  UserInterface::Default().showStatusBarMessage(
      strprintf(kMessageFailed, orNull(file_->name()).c_str()), platform::StatusBarKind::Finished,
      kFailedMs, true);
}

}  // namespace quillbox
