#include "QBXUploadManager/QBXUploadManager.h"

#include <algorithm>

#include "Platform/Loop/NotificationCenter.h"
#include "Platform/Loop/RunLoop.h"
#include "Platform/Process/Log.h"
#include "Platform/UI/UserInterface.h"
#include "QBXUploadManager/UploadRetry.h"
#include "Request/Z_Request.h"
#include "SharedSettings.h"

namespace quillbox {

using platform::Log;
using platform::NotificationCenter;

namespace {

// Log lines and notification names of the manager.
const char kLogStartBatch[] = "日志：开始上传";
const char kLogSuccessStart[] = "createFileOnServerSuccess start:%s";
const char kLogSuccessEnd[] = "createFileOnServerSuccess end:%s";
const char kLogDone[] = "createFileOnServerDone:%s";
const char kLogFailStart[] = "createFileOnServerFail start:%s";
const char kLogFailEnd[] = "createFileOnServerFail end:%s";
const char kLogDidFinish[] = "- (void)didFinish:%s";
const char kLogUploadFailed[] =
    "- (void)uploadFailed:(NSString *)reason uploadTask:(QBXUploadTask*)task";
const char kLogStopWalk[] = "%s\n%s";
const char kLogNoRecord[] = "日志:没有文件属性记录, 不加入上传队列: %s";

const char kNoteUpload[] = "upload";
const char kNoteCreateSuccess[] = "createFileOnServerSuccess";
const char kNoteCreateFail[] = "createFileOnServerFail";
const char kUserInfoTask[] = "Task";

std::atomic<bool> g_widgetMode{false};

std::string pathOf(const QBXUploadTaskPtr& task) {
  FilePtr f = task ? task->file() : nullptr;
  return f && f->fPath() ? *f->fPath() : "(null)";
}

std::string nameOf(const QBXUploadTaskPtr& task) {
  FilePtr f = task ? task->file() : nullptr;
  return f && f->name() ? *f->name() : "(null)";
}

bool sameFilePath(const QBXUploadTaskPtr& task, const std::optional<std::string>& path) {
  FilePtr f = task->file();
  return f && path && f->fPath() == path;
}

void removeTask(std::vector<QBXUploadTaskPtr>& list, const QBXUploadTaskPtr& task) {
  list.erase(std::remove(list.begin(), list.end(), task), list.end());
}

bool contains(const std::vector<QBXUploadTaskPtr>& list, const QBXUploadTaskPtr& task) {
  return std::find(list.begin(), list.end(), task) != list.end();
}

}  // namespace

QBXUploadManager& QBXUploadManager::sharedInstance() {
  static QBXUploadManager* manager = new QBXUploadManager();
  return *manager;
}

void QBXUploadManager::setWidgetMode(bool widget) {
  g_widgetMode = widget;
}
bool QBXUploadManager::widgetMode() {
  return g_widgetMode.load();
}

FilePtr QBXUploadManager::getFileWillUploadWithPath(const std::string& path, int32_t folderEnum) {
  return QBXUploadTask::getFileWillUploadWithPath(path, folderEnum);
}

FilePtr QBXUploadManager::getFileWillUploadWithPath(const std::string& path, int32_t folderEnum,
                                                    const std::atomic<bool>* statuCancel) {
  return QBXUploadTask::getFileWillUploadWithPath(path, folderEnum, statuCancel);
}

// ---------------------------------------------------------------- batch

void QBXUploadManager::startUploadWithFiles(const std::vector<FilePtr>& files) {
  Log::line(kLogStartBatch);
  startUploadWithFiles(files, true);
}

void QBXUploadManager::startUploadWithFiles(const std::vector<FilePtr>& files, bool bCheck) {
  bool skippedAny = false;
  for (const FilePtr& file : files) {
    if (!file) continue;
    auto busy = [&file](const QBXUploadTaskPtr& t) { return sameFilePath(t, file->fPath()); };
    // Decided for this record alone: a skipped record doesn't skip the next.
    bool skip = std::any_of(aTasksUploading_.begin(), aTasksUploading_.end(), busy) ||
                std::any_of(aTasksWillUpload_.begin(), aTasksWillUpload_.end(), busy);
    if (!skip && file->fPath()) {
      auto up = Z_Request::getUpInfoWithPath(*file->fPath());
      skip = up && up->getInteger("state") == FileState::Started;
    }
    if (skip) {
      skippedAny = true;
      continue;
    }
    auto task = QBXUploadTask::create();
    task->setFile(file);
    task->setDelegate(this);
    task->setBCheck(bCheck);
    aTasksWillUpload_.push_back(task);
    // From now on the file's upload-state record says it is confirmed and
    // not yet uploaded (state 6), also for a run that ends before it is.
    file->setFileState(FileState::Waiting);
    task->update();
  }
  isCreateSuccess_ = true;
  if (aTasksWillUpload_.empty() && skippedAny) createFileOnServerDone(std::nullopt);
  const auto preparing = aTasksWillUpload_;
  for (const auto& task : preparing) task->createFileOnServer();
  updateIdleTimer();
}

void QBXUploadManager::createFileOnServerSuccess(const QBXUploadTaskPtr& task) {
  const std::string path = pathOf(task);
  Log::printf(kLogSuccessStart, path.c_str());
  if (!contains(aTasksUploading_, task)) aTasksUploading_.push_back(task);
  if (!contains(aTasksCreated_, task)) aTasksCreated_.push_back(task);
  removeTask(aTasksWillUpload_, task);
  isCreateSuccess_ = true;
  if (aTasksWillUpload_.empty()) {
    startCreatedTasks();
    Log::printf(kLogDone, path.c_str());
    createFileOnServerDone(std::nullopt);
  }
  Log::printf(kLogSuccessEnd, path.c_str());
}

// Starts every prepared task of the batch. A task that can't start is shown
// as failed and leaves the lists, so that neither the queue nor the batch
// waits for it.
void QBXUploadManager::startCreatedTasks() {
  const auto created = aTasksCreated_;
  aTasksCreated_.clear();
  for (const auto& task : created) {
    if (task->startUpload()) {
      if (widgetMode())
        showPlainMessage(kAddedMessageWidget);
      else
        showPlainMessage(strprintf(kAddedMessage, static_cast<int>(aTask_.size())));
      continue;
    }
    showFailure(task);
    postUploadMessage(task->file());
    removeTask(aTasksUploading_, task);
    removeTask(aTask_, task);
    advanceQueue();
    emit({UploadEvent::Kind::Failed, task->file(), 0, 0, task->failureReason()});
  }
  updateIdleTimer();
}

void QBXUploadManager::createFileOnServerFail(const QBXUploadTaskPtr& task,
                                              const std::string& reason,
                                              const QBXUploadTaskPtr& uploadTask) {
  (void)uploadTask;
  const std::string path = pathOf(task);
  Log::printf(kLogFailStart, path.c_str());
  postUploadMessage(task->file());
  removeTask(aTask_, task);
  advanceQueue();
  removeTask(aTasksWillUpload_, task);
  if (aTasksWillUpload_.empty()) {
    isCreateSuccess_ = false;
    // The batch has ended: its prepared tasks upload all the same.
    startCreatedTasks();
    Log::printf(kLogDone, path.c_str());
    PlistDict info;
    info.set("reason", reason);
    createFileOnServerDone(info, task);
  }
  Log::printf(kLogFailEnd, path.c_str());
  emit({UploadEvent::Kind::Failed, task->file(), 0, 0, reason,
        std::max(task->preparationFailureStatus(), 0)});
  updateIdleTimer();
}

void QBXUploadManager::createFileOnServerDone(const std::optional<PlistDict>& userInfo,
                                              const QBXUploadTaskPtr& task) {
  auto post = [this, userInfo, task] {
    if (isCreateSuccess_) {
      NotificationCenter::Default().post(kNoteCreateSuccess);
      return;
    }
    // No object; the user information holds "reason" and "Task", the task itself.
    platform::Notification note{kNoteCreateFail, {}, userInfo.value_or(PlistDict()), {}};
    if (task) note.userObjects[kUserInfoTask] = task;
    NotificationCenter::Default().post(note);
  };
  platform::performOnMainThread(post, true);
}

// ---------------------------------------------------------------- upload reports

void QBXUploadManager::didSendBodyDataBytes(int64_t bytes, int64_t totalPostSize,
                                            const QBXUploadTaskPtr& uploadTask) {
  platform::performOnMainThread(
      [this, bytes, totalPostSize, uploadTask] {
        postUploadMessage(uploadTask->file());
        emit({UploadEvent::Kind::Progress, uploadTask->file(), bytes, totalPostSize, ""});
      },
      true);
}

void QBXUploadManager::didFinish(const QBXUploadTaskPtr& task) {
  Log::printf(kLogDidFinish, nameOf(task).c_str());
  platform::performOnMainThread(
      [this, task] {
        postUploadMessage(task->file());
        // The count is the queue after the finished task has left it (a batch
        // upload, which was never in the queue, counts 0).
        removeTask(aTask_, task);
        if (widgetMode())
          ShowStatuBarMessage(kFinishedMessageWidget);
        else
          ShowStatuBarMessage(strprintf(kFinishedMessage, static_cast<int>(aTask_.size())));
        advanceQueue();
        updateIdleTimer();
        emit({UploadEvent::Kind::Finished, task->file(), 0, 0, ""});
      },
      true);
}

void QBXUploadManager::uploadFailed(const std::string& reason, const QBXUploadTaskPtr& uploadTask) {
  Log::line(kLogUploadFailed);
  platform::performOnMainThread(
      [this, reason, uploadTask] {
        postUploadMessage(uploadTask->file());
        showFailure(uploadTask);
        // Also out of a preparing batch's created list, which would start it again.
        removeTask(aTasksCreated_, uploadTask);
        removeTask(aTasksUploading_, uploadTask);
        removeTask(aTask_, uploadTask);
        advanceQueue();
        updateIdleTimer();
        emit({UploadEvent::Kind::Failed, uploadTask->file(), 0, 0, reason});
      },
      true);
}

// ---------------------------------------------------------------- single-file queue

void QBXUploadManager::startUploadWithFile(const FilePtr& file) {
  startUploadWithFile(file, true);
}

void QBXUploadManager::startUploadWithFile(const FilePtr& file, bool bCheck) {
  if (!file) return;
  for (const auto& t : aTask_)
    if (sameFilePath(t, file->fPath())) return;
  auto task = QBXUploadTask::create();
  task->setFilePath(file->fPath());
  task->setFileType(file->ftype());
  task->setBCheck(bCheck);
  task->setDelegate(this);
  task->setFile(file);
  aTask_.push_back(task);
  file->setFileState(FileState::Waiting);
  task->update();
  postUploadMessage(file);
  if (aTask_.size() == 1) task->start();
  updateIdleTimer();
}

void QBXUploadManager::startUploadWithFilePath(
    const std::string& path, int32_t fileType, bool bCheck,
    std::function<void(const FilePtr&)> doWhenFileInitDone) {
  for (const auto& t : aTask_)
    if (t->filePath() == path) return;
  auto task = QBXUploadTask::create();
  task->setFilePath(path);
  task->setFileType(fileType);
  task->setBCheck(bCheck);
  task->setBlock(std::move(doWhenFileInitDone));
  task->setDelegate(this);
  task->initFile();
  if (!task->file()) {
    // Without a record the task could never prepare and would hold the queue.
    Log::printf(kLogNoRecord, path.c_str());
    return;
  }
  aTask_.push_back(task);
  if (aTask_.size() == 1) task->start();
  updateIdleTimer();
}

void QBXUploadManager::advanceQueue() {
  if (!aTask_.empty() && aTask_.front()->recordFileState() == FileState::Waiting)
    aTask_.front()->start();
}

void QBXUploadManager::stopUploadWithPath(const std::string& path) {
  QBXUploadTaskPtr candidate;
  for (const auto& t : aTasksUploading_) {
    if (sameFilePath(t, path)) {
      candidate = t;
      break;
    }
  }
  for (const auto& t : aTask_) {
    Log::printf(kLogStopWalk, t->filePath().value_or("(null)").c_str(), path.c_str());
    if (t->filePath() == path) {
      candidate = t;
      break;
    }
  }
  if (!candidate) return;
  candidate->stopUpload();
  ShowStatuBarMessage(strprintf(kStoppedMessage, nameOf(candidate).c_str()));
  postUploadMessage(candidate->file());
  removeTask(aTasksCreated_, candidate);  // a stopped task must not be started by its batch
  removeTask(aTasksUploading_, candidate);
  removeTask(aTask_, candidate);
  advanceQueue();
  updateIdleTimer();
  emit({UploadEvent::Kind::Stopped, candidate->file(), 0, 0, ""});
}

void QBXUploadManager::stopAllTasks() {
  const auto queue = aTask_;
  for (const auto& t : queue) {
    t->stopUpload();
    postUploadMessage(t->file());
    removeTask(aTasksCreated_, t);
  }
  aTasksUploading_.clear();
  aTask_.clear();
  updateIdleTimer();
}

int QBXUploadManager::getUploadCount() const {
  return static_cast<int>(aTasksUploading_.size() + aTasksWillUpload_.size());
}

bool QBXUploadManager::isCanUpLoad() const {
  int64_t level = SharedSettings::userLevel();
  int n = getUploadCount();
  if (level <= 0) return n < 4;
  if (level <= 3) return n < 11;
  return n < 21;
}

// ---------------------------------------------------------------- main-thread helpers

void QBXUploadManager::postUploadMessage(const FilePtr& file) {
  platform::performOnMainThread([file] { NotificationCenter::Default().post(kNoteUpload, file); },
                                true);
}

void QBXUploadManager::ShowStatuBarMessage(const std::string& text) {
  platform::performOnMainThread(
      [text] {
        platform::UserInterface::Default().showStatusBarMessage(
            text, platform::StatusBarKind::Finished, kMessageDurationMs, true);
      },
      true);
}

void QBXUploadManager::showPlainMessage(const std::string& text) {
  platform::performOnMainThread(
      [text] {
        platform::UserInterface::Default().showStatusBarMessage(
            text, platform::StatusBarKind::Plain, kMessageDurationMs, true);
      },
      true);
}

// The screen stays awake while some task is still at work. Finished tasks stay
// in aTasksUploading (they keep a finished file from being queued again) but
// no longer hold the screen awake.
void QBXUploadManager::updateIdleTimer() {
  auto working = [](const QBXUploadTaskPtr& t) { return t->taskStep() != QBXUploadTask::kEnded; };
  bool busy = std::any_of(aTask_.begin(), aTask_.end(), working) ||
              std::any_of(aTasksUploading_.begin(), aTasksUploading_.end(), working) ||
              std::any_of(aTasksWillUpload_.begin(), aTasksWillUpload_.end(), working);
  platform::UserInterface::Default().setIdleTimerDisabled(busy);
}

void QBXUploadManager::setEventHandler(std::function<void(const UploadEvent&)> handler) {
  eventHandler_ = std::move(handler);
}

void QBXUploadManager::showFailure(const QBXUploadTaskPtr& task) {
  if (retry_ && retry_->isRetrying(pathOf(task))) return;
  ShowStatuBarMessage(strprintf(kFailedMessage, nameOf(task).c_str()));
}

void QBXUploadManager::emit(const UploadEvent& event) {
  if (retry_) retry_->uploadEnded(event);
  if (eventHandler_) eventHandler_(event);
}

void QBXUploadManager::resetForTesting() {
  aTasksUploading_.clear();
  aTasksWillUpload_.clear();
  aTasksCreated_.clear();
  aTask_.clear();
  isCreateSuccess_ = false;
  eventHandler_ = nullptr;
}

}  // namespace quillbox
