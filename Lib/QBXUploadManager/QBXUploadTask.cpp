#include "QBXUploadManager/QBXUploadTask.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <thread>

#include "FileProperty/FileProperty.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Files/PropertyList.h"
#include "Platform/Loop/NotificationCenter.h"
#include "Platform/Loop/RunLoop.h"
#include "Platform/Net/HttpClient.h"
#include "Platform/Process/Log.h"
#include "Platform/Process/MemoryArenas.h"
#include "Platform/Process/Threads.h"
#include "Platform/UI/UserInterface.h"
#include "QBXUploadManager/CreationForm.h"
#include "QBXUploadManager/ServiceReply.h"
#include "QBXUploadManager/UploadRecordBuilder.h"
#include "QBXUploadManager/UploadStateRecord.h"
#include "Request/FormBody.h"
#include "Request/ServiceReachability.h"
#include "Request/Z_Request.h"

namespace quillbox {

using platform::FileSystem;
using platform::HttpUpload;
using platform::Log;
using platform::NotificationCenter;

namespace {

// Texts of the upload task.
const char kReasonTampered[] = "文件被篡改,无法上传!";
const char kReasonUploadFailed[] = "上传失败";
const char kReasonNetworkRetry[] = "网络异常，请重试。";
const char kReasonNetworkLater[] = "网络错误，请稍后再试";
const char kToastNoNetwork[] = "无网络连接。";
const char kReasonRefusedStatus[] = "上传失败 (HTTP %ld)";
const char kReasonNoParameters[] = "参数不全";
const char kReasonNotCreated[] = "创建失败";

const char kLogCancel[] = "cancel";
const char kLogCreateFile[] = "日志：创建文件";
const char kLogCreateStart[] = "createFileOnServerThread start:%s";
const char kLogCreateBody[] = "str:%s";
const char kLogCreateErr111[] = "createFileOnServerThread err111:%s";
const char kLogCreateErr333[] = "createFileOnServerThread err333:%s";
const char kLogCreateErr222[] = "createFileOnServerThread err222:%s";
const char kLogCreateErr1[] = "createFileOnServerThread err1:%s strResult:%s";
const char kLogCreateEnd[] = "createFileOnServerThread end:%s";
const char kLogLengthStart[] = "getFileUploadedLengthThread start:%s";
const char kLogLengthErr[] = "getFileUploadedLengthThread err:%s";
const char kLogLengthEnd[] = "getFileUploadedLengthThread end:%s";
const char kLogParamsMissing[] = "参数不全 path:%s lowkey:%s";
const char kLogUploadStarted[] = "开始上传";
const char kLogNotCreated[] = "创建失败";
const char kLogDidSend[] = "didSendBodyData:%f";
const char kLogFinishing[] = "UploadManager finishing";
const char kLogFail[] = "UploadManager fail:%s";
const char kLogException[] = "QBXUploadTask Exception:%s";
const char kLogDealloc[] =
    "QBXUploadTask dealloc:%s,self._URLConnection:%s,self._URLConnection.filePath:%s";
const char kLogThread[] = "日志:无法启动上传线程: %s";

// Thread names; both begin with QBXUploadTask::kThreadName.
const char kPrepareThread[] = "upload-prepare";
const char kUploadThread[] = "upload";

const char kNoteUpdateFileState[] = "updateFileState";
const char kNoteUpload[] = "upload";

const char kResourceCreate[] = "file/create.json";
const char kResourceLength[] = "file/length.json";

// The last step of an upload worker: the last one out gives the memory the
// uploads freed back to the system (the allocator keeps freed pages inside its
// heaps otherwise, and the process sits idle at its busiest size). The caller
// is still counted among the live threads.
void releaseMemoryWhenLast() {
  if (platform::Threads::Default().liveThreads(QBXUploadTask::kThreadName) <= 1)
    platform::MemoryArenas::releaseFree();
}

std::string orNull(const std::optional<std::string>& text) {
  return text ? *text : "(null)";
}
bool nonEmpty(const std::optional<std::string>& text) {
  return text && !text->empty();
}

int64_t parseLength(const std::optional<std::string>& fLen) {
  if (!fLen) return 0;
  return PlistValue(*fLen).integerValue();
}

void postNotification(const char* name, std::any object) {
  NotificationCenter::Default().post(name, std::move(object));
}

}  // namespace

std::shared_ptr<QBXUploadTask> QBXUploadTask::create() {
  return std::shared_ptr<QBXUploadTask>(new QBXUploadTask());
}

QBXUploadTask::~QBXUploadTask() {
  std::string record = file_ ? orNull(file_->name()) : "(null)";
  std::string path = file_ ? orNull(file_->fPath()) : "(null)";
  Log::printf(kLogDealloc, record.c_str(), connection_ ? "connection" : "(null)", path.c_str());
}

FilePtr QBXUploadTask::file() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return file_;
}

void QBXUploadTask::setFile(FilePtr f) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  file_ = std::move(f);
}

std::string QBXUploadTask::failureReason() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return failureReason_;
}

int32_t QBXUploadTask::recordFileState() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return file_ ? file_->fileState() : 0;
}

std::string QBXUploadTask::progressText(int64_t uploaded, int64_t total) {
  float fraction = total > 0 ? static_cast<float>(uploaded) / static_cast<float>(total) : 1.0f;
  fraction = std::min(std::max(fraction, 0.0f), 1.0f);
  return strprintf("%f", fraction * 0.95f);
}

int QBXUploadTask::activeUploadThreads() {
  return platform::Threads::Default().liveThreads(kThreadName);
}

// ---------------------------------------------------------------- single file

void QBXUploadTask::start() {
  int32_t step = taskStep_.load();
  if (step == kPreparing || step == kUploading) return;
  taskStep_ = kPreparing;
  statuCancel_ = false;  // a stopped task may be started again
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    failureReason_.clear();
  }
  if (filePath_) {
    size_t slash = filePath_->rfind('/');
    fileName_ = slash == std::string::npos ? *filePath_ : filePath_->substr(slash + 1);
  }
  if (filePath_)
    updateFilePropertyWithPath(*filePath_, "state", PlistValue::integer(FileState::Started));
  postNotification(kNoteUpdateFileState, filePath_ ? std::any(*filePath_) : std::any());
  FilePtr record;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (file_) file_->setFileState(FileState::Started);
    record = file_;
  }
  update();
  postNotification(kNoteUpload, record);

  auto self = shared_from_this();
  startPreparation([self] {
    if (self->bCheck_ && !self->checkFile()) {
      if (self->statuCancel_) {
        self->taskStep_ = kEnded;
        if (self->filePath_)
          self->updateFilePropertyWithPath(*self->filePath_, "state",
                                           PlistValue::integer(FileState::Stopped));
        Log::line(kLogCancel);
      } else {
        platform::performOnMainThread([self] { self->createFileOnServerFail(kReasonTampered); },
                                      false);
      }
      return;
    }
    if (self->block_) self->block_(self->file());
    FilePtr f = self->file();
    bool hasID;
    {
      std::lock_guard<std::recursive_mutex> lock(self->mu_);
      hasID = f && nonEmpty(f->fileID());
    }
    if (hasID) {
      if (!self->getFileLenth()) return;
    } else {
      if (!self->fileCreat() || self->statuCancel_) return;
      if (!self->getFileLenth()) return;
    }
    if (self->statuCancel_) return;
    // startUpload() checks reachability on the main loop: resolve here, where
    // waiting stalls nobody.
    ServiceReachability::resolveServiceHost();
    platform::performOnMainThread(
        [self] {
          // The manager starts a prepared task itself unless a batch is
          // preparing; only a task it left waiting is started here.
          if (self->taskStep() != kPreparing) return;
          if (!self->startUpload() && self->delegate_)
            self->delegate_->uploadFailed(self->failureReason(), self);
        },
        false);
  });
}

void QBXUploadTask::startPreparation(std::function<void()> work) {
  platform::Outcome started =
      platform::Threads::Default().startThread(kPrepareThread, [work = std::move(work)] {
        try {
          work();
        } catch (const std::exception& e) {
          Log::printf(kLogException, e.what());
        }
        releaseMemoryWhenLast();
      });
  if (!started) {
    Log::printf(kLogThread, started.reason.c_str());
    createFileOnServerFail(kReasonUploadFailed);
  }
}

bool QBXUploadTask::checkFile() {
  FilePtr f = file();
  std::string path = filePath_ ? *filePath_ : (f && f->fPath() ? *f->fPath() : "");
  if (path.empty()) return false;
  return FileProperty::sharedFileProperty()
      .toCheckFilePropertyWithLocal(path, &statuCancel_)
      .has_value();
}

bool QBXUploadTask::fileCreat() {
  return createOnServer(true);
}

bool QBXUploadTask::createOnServer(bool ownUpdate) {
  File snapshot;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!file_) return false;
    snapshot = *file_;
  }
  std::string path = orNull(snapshot.fPath());
  Log::printf(kLogCreateStart, path.c_str());
  std::string plain;
  FormBody form = CreationForm::build(snapshot, true, &plain);
  Log::printf(kLogCreateBody, plain.c_str());

  RequestResult result = Z_Request::postWithString(form, kResourceCreate);
  const ServiceReply reply(result.respone);
  preparationStatus_ = result.code;
  if (result.code == 200 && nonEmpty(result.respone)) {
    if (auto id = reply.text("id"); id && !id->empty()) {
      {
        std::lock_guard<std::recursive_mutex> lock(mu_);
        file_->setFileID(*id);
      }
      if (ownUpdate) {
        if (filePath_)
          updateFilePropertyWithPath(*filePath_, "fileID", PlistValue(*id));
        else if (snapshot.fPath())
          updateFilePropertyWithPath(*snapshot.fPath(), "fileID", PlistValue(*id));
      } else if (snapshot.fPath()) {
        FileProperty::sharedFileProperty().updateFilePropertyWithPath(*snapshot.fPath(), "fileID",
                                                                      PlistValue(*id));
      }
      return true;
    }
    if (auto error = reply.text("error")) {
      Log::printf(kLogCreateErr111, path.c_str());
      fail(*error);
    } else {
      Log::printf(kLogCreateErr333, path.c_str());
      fail(kReasonUploadFailed);
    }
    return false;
  }
  Log::printf(kLogCreateErr1, path.c_str(), orNull(result.respone).c_str());
  fail(reply.text("error").value_or(kReasonNetworkRetry));
  return false;
}

std::optional<std::string> QBXUploadTask::queryLength(std::string* path) {
  std::string fileID;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!file_) return std::nullopt;
    fileID = file_->fileID().value_or("");
    *path = orNull(file_->fPath());
  }
  auto reply = Z_Request::getObj(strprintf("%s?id=%s", kResourceLength, fileID.c_str()));
  // The length query gives no status: without a reply the service was not usable.
  preparationStatus_ = reply ? 200 : 0;
  return reply;
}

bool QBXUploadTask::settleLength(const std::optional<std::string>& replyText,
                                 const std::string& path) {
  const ServiceReply reply(replyText);
  if (auto length = reply.length()) {
    succeed(*length);
    return true;
  }
  if (auto error = reply.text("error")) {
    Log::printf(kLogCreateErr111, path.c_str());
    fail(*error);
  } else {
    Log::printf(kLogCreateErr222, path.c_str());
    fail(kReasonUploadFailed);
  }
  return false;
}

bool QBXUploadTask::getFileLenth() {
  std::string path;
  auto reply = queryLength(&path);
  return settleLength(reply, path);
}

// ---------------------------------------------------------------- batch path

void QBXUploadTask::createFileOnServer() {
  Log::line(kLogCreateFile);
  int32_t step = taskStep_.load();
  if (step == kPreparing || step == kUploading) return;
  taskStep_ = kPreparing;
  statuCancel_ = false;
  bool hasID;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    failureReason_.clear();
    hasID = file_ && nonEmpty(file_->fileID());
  }
  auto self = shared_from_this();
  startPreparation([self, hasID] {
    if (hasID)
      self->getFileUploadedLengthThread();
    else
      self->createFileOnServerThread();
  });
}

void QBXUploadTask::createFileOnServerThread() {
  if (!createOnServer(false)) return;
  std::string path;
  auto reply = queryLength(&path);
  if (settleLength(reply, path)) Log::printf(kLogCreateEnd, path.c_str());
}

void QBXUploadTask::getFileUploadedLengthThread() {
  std::string path;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!file_) return;
    path = orNull(file_->fPath());
  }
  Log::printf(kLogLengthStart, path.c_str());
  auto reply = queryLength(&path);
  if (!reply) {
    Log::printf(kLogLengthErr, path.c_str());
    {
      std::lock_guard<std::recursive_mutex> lock(mu_);
      file_->setFileState(FileState::Stopped);
    }
    fail(kReasonNetworkLater);
  } else {
    const ServiceReply j(reply);
    if (auto length = j.length())
      succeed(*length);
    else
      fail(j.text("error").value_or(kReasonUploadFailed));
  }
  Log::printf(kLogLengthEnd, path.c_str());
}

void QBXUploadTask::succeed(int64_t length) {
  if (statuCancel_) return;  // stopped while preparing: nobody waits for it any more
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    file_->setUploadedSize(length);
  }
  auto self = shared_from_this();
  platform::performOnMainThread([self] { self->createFileOnServerSuccess(); }, true);
}

void QBXUploadTask::fail(const std::string& reason) {
  if (statuCancel_) return;  // stopped while preparing: the stop has been reported
  auto self = shared_from_this();
  platform::performOnMainThread([self, reason] { self->createFileOnServerFail(reason); }, true);
}

void QBXUploadTask::createFileOnServerSuccess() {
  if (statuCancel_) return;  // stopped on the main thread meanwhile
  if (delegate_) delegate_->createFileOnServerSuccess(shared_from_this());
}

void QBXUploadTask::createFileOnServerFail(const std::string& reason) {
  if (statuCancel_) return;  // stopped on the main thread meanwhile
  taskStep_ = kEnded;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (file_) file_->setFileState(FileState::Stopped);
    failureReason_ = reason;
  }
  update();
  auto self = shared_from_this();
  if (delegate_) delegate_->createFileOnServerFail(self, reason, self);
}

// ---------------------------------------------------------------- chunk upload

bool QBXUploadTask::startUpload() {
  if (taskStep_.exchange(kUploading) == kUploading) return true;
  std::optional<std::string> path, fileID;
  int64_t offset = 0;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (file_) {
      path = file_->fPath();
      fileID = file_->fileID();
      offset = file_->uploadedSize().value_or(0);
    }
  }
  Log::line(orNull(path));
  writeFileUpInfoToFile();

  if (!nonEmpty(path) || !nonEmpty(fileID)) {
    Log::printf(kLogParamsMissing, orNull(path).c_str(), orNull(fileID).c_str());
    endRefused(kReasonNoParameters);
    return false;
  }
  if (!ServiceReachability::isServiceReachable()) {
    platform::UserInterface::Default().showToast(kToastNoNetwork, platform::ToastPosition::Bottom,
                                                 3000);
    endRefused(kToastNoNetwork);
    return false;
  }

  // "Content-Length" is the size on disk minus the offset; HttpUpload measures
  // it again when it starts and fails a file shorter than the offset.
  auto attrs = FileSystem::Default().attributes(*path);
  int64_t rest = attrs ? std::max<int64_t>(attrs->size - offset, 0) : 0;
  const uint64_t id = nextConnectionId_.fetch_add(1) + 1;
  int64_t total;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    total = parseLength(file_->fLen());
  }
  // HttpUpload calls back on the transfer thread; the reports are handed to
  // the upload thread's loop, so that the state bookkeeping never holds up the
  // transfer. The upload thread keeps the task alive until its loop has ended.
  auto channel = std::make_shared<UploadChannel>();
  channel->rewrittenAt = offset;
  channel->rewrittenTime = std::chrono::steady_clock::now();
  HttpUpload::Callbacks callbacks;
  callbacks.onProgress = [this, id, channel, offset, total](int64_t bytes) {
    channel->sent += bytes;
    channel->unreported += bytes;
    const bool last = offset + channel->sent >= total;
    if (channel->unreported < kProgressReportBytes && !last) return;
    channel->unreported = 0;
    const int64_t uploaded = offset + channel->sent;
    channel->loop->perform([this, id, uploaded, last, channel] {
      // The upload-state plist is read and replaced whole: rewritten only
      // now and then, and always for the last block.
      const auto now = std::chrono::steady_clock::now();
      const bool rewrite = last || uploaded - channel->rewrittenAt >= kStateRewriteBytes ||
                           now - channel->rewrittenTime >= kStateRewriteInterval;
      if (rewrite) {
        channel->rewrittenAt = uploaded;
        channel->rewrittenTime = now;
      }
      onBodyBlock(id, uploaded, rewrite);
    });
  };
  callbacks.onFinish = [this, id, channel](long status) {
    channel->loop->perform([this, id, status] { onFinish(id, status); });
  };
  callbacks.onFail = [this, id, channel](const std::string& error) {
    channel->loop->perform([this, id, error] { onFail(id, error); });
  };
  auto connection = std::make_shared<HttpUpload>(
      Z_Request::chunkUploadURL(*fileID, offset), Z_Request::chunkUploadHeaders(rest), *path,
      offset, Z_Request::kChunkUploadTimeoutSeconds, std::move(callbacks));

  // The state goes to 1 before the thread starts, so that no report of the
  // upload thread can be overwritten by it.
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    connection_ = connection;
    connectionId_ = id;
    file_->setFileState(FileState::Uploading);
  }
  setStateByName(FileState::Uploading);
  update();

  auto self = shared_from_this();
  platform::Outcome started = platform::Threads::Default().startThread(
      kUploadThread, [self, connection, channel] { self->runUploadThread(connection, channel); });
  if (!started) {
    Log::printf(kLogThread, started.reason.c_str());
    {
      std::lock_guard<std::recursive_mutex> lock(mu_);
      connection_.reset();
    }
    Log::line(kLogNotCreated);
    endRefused(kReasonNotCreated);
    return false;
  }
  Log::line(kLogUploadStarted);
  return true;
}

void QBXUploadTask::endRefused(const std::string& reason) {
  taskStep_ = kEnded;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (file_) file_->setFileState(FileState::Stopped);
    failureReason_ = reason;
  }
  setStateByName(FileState::Stopped);
  update();
}

void QBXUploadTask::runUploadThread(const std::shared_ptr<HttpUpload>& connection,
                                    const std::shared_ptr<UploadChannel>& channel) {
  try {
    std::shared_ptr<platform::RunLoop> loop = platform::RunLoop::currentShared();
    channel->loop = loop;
    // The loop ends after the transfer's last report has been handled. The
    // transfer thread is joined here, its TLS-library state freed first.
    std::thread transfer([connection, loop] {
      connection->run();
      platform::Threads::releaseThreadState();
      loop->perform([loop] { loop->stop(); });
    });
    loop->run();
    transfer.join();
  } catch (const std::exception& e) {
    Log::printf(kLogException, e.what());
  }
  releaseMemoryWhenLast();
}

void QBXUploadTask::onBodyBlock(uint64_t id, int64_t uploaded, bool rewriteState) {
  int64_t total;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!connection_ || connectionId_ != id) return;
    file_->setUploadedSize(uploaded);
    total = parseLength(file_->fLen());
    file_->setFProgress(progressText(uploaded, total));
    if (file_->fileState() != FileState::Uploading) file_->setFileState(FileState::Uploading);
    Log::printf(kLogDidSend, static_cast<double>(uploaded));
    if (rewriteState) update();
  }
  if (!delegate_) return;
  try {
    delegate_->didSendBodyDataBytes(uploaded, total, shared_from_this());
  } catch (const std::exception& e) {
    Log::printf(kLogException, e.what());
  }
}

void QBXUploadTask::onFinish(uint64_t id, long status) {
  if (status < 200 || status > 299) {
    // The service refused the body: that is no completed upload.
    onFail(id, strprintf(kReasonRefusedStatus, status));
    return;
  }
  std::optional<std::string> path;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!connection_ || connectionId_ != id) return;
    taskStep_ = kEnded;
    connection_.reset();
    Log::line(kLogFinishing);
    file_->setFileState(FileState::Finished);
    file_->setFProgress(std::string("1.000000"));
    path = file_->fPath();
    update();
  }
  if (path)
    FileProperty::sharedFileProperty().updateFilePropertyWithPath(
        *path, "state", PlistValue::integer(FileState::Finished));
  if (delegate_) delegate_->didFinish(shared_from_this());
}

void QBXUploadTask::onFail(uint64_t id, const std::string& error) {
  int32_t state;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!connection_ || connectionId_ != id) return;
    taskStep_ = kEnded;
    connection_.reset();
    state = PlistValue(file_->fProgress().value_or("0")).integerValue() == 1 ? FileState::Finished
                                                                             : FileState::Stopped;
    file_->setFileState(state);
    failureReason_ = error;
    update();
  }
  setStateByName(state);
  if (delegate_) delegate_->uploadFailed(error, shared_from_this());
  Log::printf(kLogFail, error.c_str());
}

void QBXUploadTask::stopUpload() {
  taskStep_ = kEnded;
  statuCancel_ = true;
  std::shared_ptr<HttpUpload> connection;
  std::optional<std::string> path = filePath_;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    connection = std::move(connection_);
    connection_.reset();
    if (file_) {
      file_->setFileState(FileState::Stopped);
      if (!path) path = file_->fPath();
    }
  }
  if (connection) connection->cancel();
  update();
  if (path)
    FileProperty::sharedFileProperty().updateFilePropertyWithPath(
        *path, "state", PlistValue::integer(FileState::Stopped));
  postNotification(kNoteUpdateFileState, filePath_ ? std::any(*filePath_) : std::any());
  setStateByName(FileState::Stopped);
}

void QBXUploadTask::setStateByName(int32_t state) {
  std::optional<std::string> name;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (file_) name = file_->name();
  }
  if (nonEmpty(name)) FileProperty::sharedFileProperty().updateFileProperty(*name, state);
}

// ---------------------------------------------------------------- initFile

void QBXUploadTask::initFile() {
  if (!filePath_) return;
  FilePtr f = UploadRecordBuilder::fromPropertyRecord(*filePath_, fileType_);
  if (!f) return;
  setFile(f);

  updateFilePropertyWithPath(*filePath_, "state", PlistValue::integer(FileState::Waiting));
  postNotification(kNoteUpdateFileState, std::any(*filePath_));
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    f->setFileState(FileState::Waiting);
  }
  update();
  postNotification(kNoteUpload, f);
}

bool QBXUploadTask::updateFilePropertyWithPath(const std::string& path, const std::string& key,
                                               const PlistValue& value) {
  // The property store's own field update (same match rule, store lock held).
  return FileProperty::sharedFileProperty().updateFilePropertyWithPath(path, key, value);
}

void QBXUploadTask::update() {
  writeFileUpInfoToFile();
}

// ---------------------------------------------------------------- upload-state record

std::optional<std::string> QBXUploadTask::getUserTempMediaPathWillCreat(bool creat) {
  return UploadStateRecord::userTempMediaPath(creat);
}

void QBXUploadTask::writeFileUpInfoToFile() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (file_) UploadStateRecord::write(*file_, bCheck_);
}

// ---------------------------------------------------------------- record builder

FilePtr QBXUploadTask::getFileWillUploadWithPath(const std::string& path, int32_t folderEnum) {
  return getFileWillUploadWithPath(path, folderEnum, nullptr);
}

FilePtr QBXUploadTask::getFileWillUploadWithPath(const std::string& path, int32_t folderEnum,
                                                 const std::atomic<bool>* statuCancel) {
  return UploadRecordBuilder::build(path, folderEnum, statuCancel);
}

std::string QBXUploadTask::creationBodyPlainText(const File& file) {
  return CreationForm::build(file, true, nullptr).plainText();
}

}  // namespace quillbox
