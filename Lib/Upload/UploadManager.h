// UploadManager: the older single-stream uploader. One manager uploads one
// file record whose file the service has already created (it has a `fileID`):
// it streams the file from a resume offset to file/upload.json?service=
// uploadPlainFileStream&id= through a FileUploadConnection (1 MiB per request),
// with the session cookie and the "accessToken" of the web-info plist.
//
// It shows its progress in the record's display fields (`fState`, `fProgress`,
// `fComment`) and the status-bar overlay, reports to its delegate, and posts
// "upload" (object: the record, a FilePtr) after each progress step and at the
// end, and "releaseUpload" (object: this manager, an UploadManager*) once at
// the end, telling its owner that it may let the manager go. Sizes and offsets
// are 64-bit.
//
// Threads: call start() and cancel(), and let a manager that has not ended
// go, on one thread whose run loop runs; progress, completion and failure are
// handled there. The overlay changes run on the main thread (waited for),
// uploadFailed is delivered on the main thread (not waited for). The delegate
// must outlive the manager's last report, or be cleared with
// setDelegate(nullptr) (any thread) before it goes.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "Base/File.h"
#include "Upload/FileUploadConnection.h"
#include "Upload/UploadManagerDelegate.h"

namespace quillbox {

// A byte range; `location` kNotFound means "not set".
struct UploadRange {
  static constexpr uint64_t kNotFound = std::numeric_limits<int64_t>::max();
  uint64_t location = 0;
  uint64_t length = 0;
};

class UploadManager : public FileUploadConnectionDelegate,
                      public std::enable_shared_from_this<UploadManager> {
 public:
  static constexpr const char* kNoteUpload = "upload";
  static constexpr const char* kNoteReleaseUpload = "releaseUpload";
  // `fState` texts.
  static constexpr const char* kStateUploading = "上传中...";
  static constexpr const char* kStateStarting = "开始上传";
  static constexpr const char* kStateFinished = "上传完成";
  static constexpr const char* kStateFailed = "上传失败";

  static std::shared_ptr<UploadManager> create();
  ~UploadManager() override;  // logs "释放上传对象"
  UploadManager(const UploadManager&) = delete;
  UploadManager& operator=(const UploadManager&) = delete;

  UploadManagerDelegate* delegate() const { return delegate_.load(); }
  void setDelegate(UploadManagerDelegate* d) { delegate_.store(d); }  // not owned
  const FilePtr& file() const { return file_; }
  void setFile(FilePtr f) { file_ = std::move(f); }
  // `location`: the bytes the service already holds (kNotFound or 0: none).
  const UploadRange& rang() const { return rang_; }
  void setRang(UploadRange r) { rang_ = r; }

  // Starts the upload. false, with nothing sent and nothing posted, when the
  // record lacks its path or file id ("参数不全 ..." logged), the service
  // can't be reached ("无网络连接。" toast), or the transfer can't be made
  // ("创建失败" logged: the file can't be read or the offset lies past its end).
  bool start();
  // If a transfer runs: logs "cancel", stops it and ends as a failure
  // (changeState(), without uploadFailed). Otherwise does nothing.
  void cancel();
  bool isUploading() const { return _URLConnection != nullptr; }

  // The property store's state-by-file-name update, with a text state.
  static bool updateFileProperty(const std::string& name, const std::string& state);
  // Percent-escapes a text for a URL (UTF-8).
  static std::string stringURLEncode(const std::string& text);

  // --- reports of the transfer (FileUploadConnectionDelegate) ---
  void connectionDidSendBodyData(FileUploadConnection& connection, int64_t bytesWritten,
                                 int64_t totalBytesWritten,
                                 int64_t totalBytesExpectedToWrite) override;
  void connectionDidFinishLoading(FileUploadConnection& connection) override;
  void connectionDidFailWithError(FileUploadConnection& connection,
                                  const std::string& error) override;

  // --- end-of-upload steps ---
  // "上传完成" when everything had been sent, else "上传失败"; the failure
  // message on the overlay; "upload" and "releaseUpload".
  void changeState();
  void finish();   // main thread: overlay animation off
  void failded();  // main thread: overlay animation off, "\"name\"上传失败!" for 3 s

  int64_t theFileSize() const { return theFileSize_; }
  int64_t uploadedSize() const { return uploadedSize_; }

 private:
  UploadManager() = default;
  void post(const char* name);

  std::atomic<UploadManagerDelegate*> delegate_{nullptr};
  FilePtr file_;
  UploadRange rang_;
  // The system's own name for the running chunk connection, kept as it stands.
  // NOLINTNEXTLINE(bugprone-reserved-identifier)
  FileUploadConnectionPtr _URLConnection;
  int64_t theFileSize_ = 0;
  int64_t uploadedSize_ = 0;
};

using UploadManagerPtr = std::shared_ptr<UploadManager>;

}  // namespace quillbox
