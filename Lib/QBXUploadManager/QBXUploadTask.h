// QBXUploadTask: carries one evidence file to the service, resumably.
//
// A task registers the file with the service (file/create.json) unless its
// record already has the service's file id, asks how many bytes the service
// holds (file/length.json?id=) and then streams the rest of the file from that
// offset in one POST (file/upload.json?id=&index=). Because the id is kept in
// the property store and in the upload-state plist, an interrupted upload
// continues where the service stopped receiving. It keeps the file's state in
// its File record, in the property store and in its upload-state record
// ("com.velmor.upinfo.plist"), and reports to its delegate (the manager).
//
// Two ways to drive it: start() (single-file path: prepares on a worker
// thread, then uploads) and createFileOnServer() + startUpload() (batch path:
// prepares on a thread of its own; the manager starts the upload).
//
// Threads: configure a task (setters) on one thread before starting it.
// start(), createFileOnServer(), startUpload(), stopUpload() and initFile()
// are called on the main thread. Preparation runs on a worker thread and hands
// its outcome to the main thread, waiting until it has been handled. The chunk
// upload runs on a detached thread of its own that runs its own RunLoop; the
// progress, finish and failure callbacks (and the delegate's matching
// operations) arrive there, in order, handed over from a transfer thread that
// only moves bytes. The task's state that the main thread and the
// upload thread share (step, cancel flag, connection, the record's progress
// fields) is guarded, so stopUpload() may meet an upload report safely.
// Tasks are shared (std::shared_ptr); a running thread keeps its task alive.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Base/File.h"
#include "PropertyList/PlistValue.h"
#include "QBXUploadManager/QBXUploadTaskDelegate.h"

namespace quillbox {

namespace platform {
class HttpUpload;
class RunLoop;
}  // namespace platform

class QBXUploadTask : public std::enable_shared_from_this<QBXUploadTask> {
 public:
  // Task steps (`_taskStep`).
  enum Step : int32_t { kNew = 0, kPreparing = 1, kUploading = 2, kEnded = 3 };

  // Progress is reported (record, "didSendBodyData:%f" log line, delegate,
  // hence the manager's "upload" notification) once per this many body bytes
  // and at the end of the body, on the upload thread while the transfer thread
  // goes on sending.
  static constexpr int64_t kProgressReportBytes = 256 * 1024;
  // The upload-state plist is rewritten with a report only when this many
  // bytes or this much time have passed since its last rewrite, and always for
  // the last block, at the end and on failure: a fast upload rewrites it 64
  // times per GiB, a slow one once a second.
  static constexpr int64_t kStateRewriteBytes = 16 * 1024 * 1024;
  static constexpr std::chrono::seconds kStateRewriteInterval{1};

  static std::shared_ptr<QBXUploadTask> create();
  ~QBXUploadTask();
  QBXUploadTask(const QBXUploadTask&) = delete;
  QBXUploadTask& operator=(const QBXUploadTask&) = delete;

  // --- configuration (before the task is started) ---
  QBXUploadTaskDelegate* delegate() const { return delegate_; }
  void setDelegate(QBXUploadTaskDelegate* d) { delegate_ = d; }  // not owned
  FilePtr file() const;
  void setFile(FilePtr f);
  bool bCheck() const { return bCheck_; }
  void setBCheck(bool b) { bCheck_ = b; }
  // Called with the record once the tamper check has passed, before preparation
  // (on the preparing thread).
  void setBlock(std::function<void(const FilePtr&)> block) { block_ = std::move(block); }
  int32_t fileType() const { return fileType_; }
  void setFileType(int32_t t) { fileType_ = t; }
  const std::optional<std::string>& filePath() const { return filePath_; }
  void setFilePath(std::optional<std::string> p) { filePath_ = std::move(p); }
  const std::optional<std::string>& fileName() const { return fileName_; }

  int32_t taskStep() const { return taskStep_.load(); }
  bool statuCancel() const { return statuCancel_.load(); }
  // The reason of the latest failure ("" when none). Any thread.
  std::string failureReason() const;
  // The HTTP status of the answer to the latest preparation request (0 when
  // none was usable: the service unreachable, a time-out, a server error to the
  // length query; -1 before the first). After a failed preparation it tells a
  // service that could not be reached from one that refused. Any thread.
  int preparationFailureStatus() const { return preparationStatus_.load(); }
  // The record's fileState, read under the task's guard. Any thread.
  int32_t recordFileState() const;

  // --- driving ---
  // Single-file path: state 5, then (worker thread) tamper check when bCheck,
  // the block, creation unless the record has a fileID, the length query, and
  // startUpload() on the main thread. Refused while preparing or uploading.
  // REQUIRES: main thread; file() or filePath() set.
  void start();
  // Builds file() from filePath() and fileType() out of the property store (no
  // tamper check, no digest); leaves file() empty when there is no record.
  void initFile();
  // Batch path: prepares on a detached thread (creation + length query, or only
  // the length query when the record has a fileID). Refused while preparing or
  // uploading. REQUIRES: file() set.
  void createFileOnServer();
  // Starts the chunk upload on a new upload thread. True when it runs (also
  // when it already ran: a second call does nothing). False, with the task
  // ended (step 3, state 3) and a log line, when the record lacks its path or
  // fileID, the service can't be reached ("无网络连接。" toast) or the upload
  // can't be set up. REQUIRES: main thread.
  bool startUpload();
  // Ends the task: cancels the tamper check and the connection (no further
  // callback arrives from it), state 3 in the record, the upload-state plist
  // and the property store. The delegate is not told. Any thread.
  void stopUpload();
  // Rewrites the upload-state record (writeFileUpInfoToFile()).
  void update();

  // --- steps (public for the manager and tests) ---
  // Runs a preparation step on a detached thread of its own: an exception ends
  // it with a log line, and a thread that cannot start fails the task.
  void startPreparation(std::function<void()> work);
  bool checkFile();
  bool fileCreat();
  bool getFileLenth();
  void createFileOnServerThread();
  void getFileUploadedLengthThread();
  void createFileOnServerSuccess();
  void createFileOnServerFail(const std::string& reason);
  // The task's own field update of the property store: sets `key` (removes it
  // for a None value) in every record of the current user whose "path" holds
  // the path's Documents tail. False without "/Documents/", a user array or
  // when the write failed.
  bool updateFilePropertyWithPath(const std::string& path, const std::string& key,
                                  const PlistValue& value);

  // --- upload-state record (UploadStateRecord) ---
  // Upserts the task's summary of its record into "com.velmor.upinfo.plist"
  // (UploadStateRecord::write with the task's bCheck), under the task's guard.
  void writeFileUpInfoToFile();
  // UploadStateRecord::userTempMediaPath.
  static std::optional<std::string> getUserTempMediaPathWillCreat(bool creat);

  // --- record builder (UploadRecordBuilder) ---
  // A new record of a stored evidence file, or nullptr when the tamper check
  // refuses it (see UploadRecordBuilder::build).
  static FilePtr getFileWillUploadWithPath(const std::string& path, int32_t folderEnum,
                                           const std::atomic<bool>* statuCancel);
  static FilePtr getFileWillUploadWithPath(const std::string& path, int32_t folderEnum);

  // The creation form of a record as plain text (CreationForm::build).
  static std::string creationBodyPlainText(const File& file);

  // The progress text of a running upload: (uploaded ÷ total, as 32-bit
  // floats) × 0.95 in "%f", so it never passes 0.950000; completion sets
  // "1.000000". 500 of 1000 gives "0.475000".
  static std::string progressText(int64_t uploaded, int64_t total);

  // The names of the preparation and upload threads begin with this (for
  // Threads::liveThreads and waitForThreads).
  static constexpr const char* kThreadName = "upload";
  // Preparation and upload threads still running in this process (they end
  // shortly after their last callback, having freed their TLS-library
  // state). For programs and tests that wait before exiting.
  static int activeUploadThreads();

 private:
  QBXUploadTask() = default;
  bool createOnServer(bool ownUpdate);
  // The length query (file/length.json?id=) for the record's fileID; `path`
  // receives the record's path for the log lines. The reply text or nullopt.
  std::optional<std::string> queryLength(std::string* path);
  // Succeeds with the reply's "length", else fails with its "error" or "上传失败".
  bool settleLength(const std::optional<std::string>& reply, const std::string& path);
  void succeed(int64_t length);
  void fail(const std::string& reason);
  void endRefused(const std::string& reason);
  struct UploadChannel {
    std::shared_ptr<platform::RunLoop> loop;  // the upload thread's; set before the transfer
    int64_t sent = 0;                         // transfer thread only
    int64_t unreported = 0;                   // transfer thread only
    int64_t rewrittenAt = 0;                  // upload thread only: bytes at the last rewrite
    std::chrono::steady_clock::time_point rewrittenTime;  // upload thread only
  };
  void runUploadThread(const std::shared_ptr<platform::HttpUpload>& connection,
                       const std::shared_ptr<UploadChannel>& channel);
  // Connection callbacks; a report of a connection other than the current one
  // (`id`) is ignored.
  void onBodyBlock(uint64_t id, int64_t uploaded, bool rewriteState);
  void onFinish(uint64_t id, long status);
  void onFail(uint64_t id, const std::string& error);
  void setStateByName(int32_t state);

  QBXUploadTaskDelegate* delegate_ = nullptr;
  bool bCheck_ = false;
  std::function<void(const FilePtr&)> block_;
  int32_t fileType_ = 0;
  std::optional<std::string> filePath_;
  std::optional<std::string> fileName_;

  std::atomic<int32_t> taskStep_{kNew};
  std::atomic<bool> statuCancel_{false};
  std::atomic<int> preparationStatus_{-1};

  // Guards file_'s contents while the task runs, connection_ and
  // failureReason_. Never held across a hand-off to the
  // main thread or a delegate call.
  mutable std::recursive_mutex mu_;
  FilePtr file_;
  std::shared_ptr<platform::HttpUpload> connection_;  // `_URLConnection`
  uint64_t connectionId_ = 0;
  std::atomic<uint64_t> nextConnectionId_{0};
  std::string failureReason_;
};

using QBXUploadTaskPtr = std::shared_ptr<QBXUploadTask>;

}  // namespace quillbox
