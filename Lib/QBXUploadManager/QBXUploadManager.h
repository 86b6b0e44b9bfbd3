// QBXUploadManager: the one object through which the system uploads evidence.
//
// It turns records (File) or paths into upload tasks, keeps them in four
// lists, decides when each task prepares and uploads, reacts to every task
// outcome as the tasks' delegate, tells the user through status-bar messages
// and re-announces every change of an upload with the in-process notification
// "upload" (object: the File record). Two ways in:
//   - the batch: startUploadWithFiles() prepares every record at once, each on
//     a thread of its own, and starts all uploads when the batch is prepared;
//   - the single-file queue (aTask): startUploadWithFile() and
//     startUploadWithFilePath() queue one file; files upload one after another.
// The widget build shows shorter texts (setWidgetMode(true)).
//
// Threads: every public operation is called on the main thread, and the four
// lists are only ever touched there. Reports that tasks deliver on their
// upload threads are handed to the main thread, the task waiting until they
// have been handled. Notifications are posted and messages shown on the main
// thread. REQUIRES for the asynchronous work: the main thread runs its RunLoop.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Base/File.h"
#include "PropertyList/PlistValue.h"
#include "QBXUploadManager/QBXUploadTask.h"
#include "QBXUploadManager/QBXUploadTaskDelegate.h"

namespace quillbox {

// What a program following an upload is told, on the main thread.
struct UploadEvent {
  enum class Kind { Progress, Finished, Failed, Stopped };
  Kind kind = Kind::Progress;
  FilePtr file;
  int64_t bytes = 0;   // Progress: bytes of the file at the service
  int64_t total = 0;   // Progress: the file's size
  std::string reason;  // Failed: why
  int status = 0;      // Failed in preparation: the refusal's HTTP status, 0 when unreachable
};

class UploadRetry;

class QBXUploadManager : public QBXUploadTaskDelegate {
 public:
  // Status messages (vigild, and the widget's shorter forms).
  static constexpr const char* kAddedMessage = "添加 1 个任务到上传队列！    上传任务总数:%d";
  static constexpr const char* kAddedMessageWidget = "添加 1 个任务到上传队列！";
  static constexpr const char* kFinishedMessage = "有 1 个任务上传完成!    剩余任务数:%d";
  static constexpr const char* kFinishedMessageWidget = "有 1 个任务上传完成!";
  static constexpr const char* kFailedMessage = "\"%s\"上传失败!";
  static constexpr const char* kStoppedMessage = "\"%s\"上传停止!";
  static constexpr int kMessageDurationMs = 2000;

  QBXUploadManager(const QBXUploadManager&) = delete;
  QBXUploadManager& operator=(const QBXUploadManager&) = delete;

  // The process-wide manager, created on first use; never destroyed.
  static QBXUploadManager& sharedInstance();

  // The widget build's texts (no counts in the added / finished messages).
  static void setWidgetMode(bool widget);
  static bool widgetMode();

  // The record builder (QBXUploadTask::getFileWillUploadWithPath): a new
  // record, or nullptr when the file doesn't pass the tamper check.
  static FilePtr getFileWillUploadWithPath(const std::string& path, int32_t folderEnum);
  static FilePtr getFileWillUploadWithPath(const std::string& path, int32_t folderEnum,
                                           const std::atomic<bool>* statuCancel);

  // The batch. Each record gets a task unless its file is already uploading
  // or preparing here, or its upload-state record says 5 (started); the
  // decision is per record. When nothing was queued and something was skipped,
  // "createFileOnServerSuccess" is posted. An empty list changes nothing but
  // the idle timer. The one-argument form logs "日志：开始上传" and checks.
  void startUploadWithFiles(const std::vector<FilePtr>& files);
  void startUploadWithFiles(const std::vector<FilePtr>& files, bool bCheck);

  // The single-file queue: a record whose path is not queued yet is appended
  // (state 6) and started when it is first in the queue. With bCheck the task
  // runs the tamper check before preparing.
  void startUploadWithFile(const FilePtr& file);
  void startUploadWithFile(const FilePtr& file, bool bCheck);
  // Queues a file by path; its record comes from the property store (initFile).
  // A path with no record of the current user is not queued (log line).
  void startUploadWithFilePath(const std::string& path, int32_t fileType, bool bCheck,
                               std::function<void(const FilePtr&)> doWhenFileInitDone);

  // Stops the upload of that file (queued or uploading; not a batch task that
  // is still preparing); a path no task has changes nothing.
  void stopUploadWithPath(const std::string& path);
  // Stops the single-file queue and forgets every upload.
  void stopAllTasks();
  // Tasks uploading (or finished) plus tasks preparing.
  int getUploadCount() const;
  // Whether the user's level ("userlevel") allows another file: n < 4 for
  // level 0 or less, n < 11 for 1..3, n < 21 above, n = getUploadCount().
  bool isCanUpLoad() const;

  // Main-thread steps (public for the tasks' hand-offs and tests).
  void postUploadMessage(const FilePtr& file);
  void ShowStatuBarMessage(const std::string& text);
  // Posts "createFileOnServerSuccess" (no object, no user information) while
  // isCreateSuccess is set, else "createFileOnServerFail" with no object and
  // `userInfo` ("reason") plus "Task" = `task` among the user objects.
  void createFileOnServerDone(const std::optional<PlistDict>& userInfo,
                              const QBXUploadTaskPtr& task = nullptr);

  // QBXUploadTaskDelegate.
  void createFileOnServerSuccess(const QBXUploadTaskPtr& task) override;
  void createFileOnServerFail(const QBXUploadTaskPtr& task, const std::string& reason,
                              const QBXUploadTaskPtr& uploadTask) override;
  void didSendBodyDataBytes(int64_t bytes, int64_t totalPostSize,
                            const QBXUploadTaskPtr& uploadTask) override;
  void didFinish(const QBXUploadTaskPtr& task) override;
  void uploadFailed(const std::string& reason, const QBXUploadTaskPtr& uploadTask) override;

  // A program that follows uploads (the upload command) hears of progress and
  // outcomes here, on the main thread. One handler; nullptr removes it.
  void setEventHandler(std::function<void(const UploadEvent&)> handler);

  // Failed uploads that come back (UploadRetry::enable); nullptr: none. It
  // hears of every task's end, and a failure of a file it already retries is
  // not shown again. Main thread.
  void setRetry(UploadRetry* retry) { retry_ = retry; }

  // The lists (main thread only; for tests and diagnostics).
  const std::vector<QBXUploadTaskPtr>& aTasksUploading() const { return aTasksUploading_; }
  const std::vector<QBXUploadTaskPtr>& aTasksWillUpload() const { return aTasksWillUpload_; }
  const std::vector<QBXUploadTaskPtr>& aTasksCreated() const { return aTasksCreated_; }
  const std::vector<QBXUploadTaskPtr>& aTask() const { return aTask_; }
  bool isCreateSuccess() const { return isCreateSuccess_; }
  // Empties the lists without stopping anything. REQUIRES: tests only.
  void resetForTesting();

 private:
  QBXUploadManager() = default;
  void advanceQueue();
  void startCreatedTasks();
  void updateIdleTimer();
  void emit(const UploadEvent& event);
  // The failure message of `task`'s file, unless its retry has told already.
  void showFailure(const QBXUploadTaskPtr& task);
  void showPlainMessage(const std::string& text);

  bool isCreateSuccess_ = false;
  std::vector<QBXUploadTaskPtr> aTasksUploading_;
  std::vector<QBXUploadTaskPtr> aTasksWillUpload_;
  std::vector<QBXUploadTaskPtr> aTasksCreated_;
  std::vector<QBXUploadTaskPtr> aTask_;
  std::function<void(const UploadEvent&)> eventHandler_;
  UploadRetry* retry_ = nullptr;
};

}  // namespace quillbox
