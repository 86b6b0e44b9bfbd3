// UploadManagerDelegate: what an UploadManager tells its delegate. Every
// operation is required and is called whenever a delegate is set.
#pragma once

#include <cstdint>
#include <string>

namespace quillbox {

class UploadManagerDelegate {
 public:
  virtual ~UploadManagerDelegate() = default;
  // Bytes on the service so far (resume offset + bytes sent) and the file's
  // size; on every progress report, on the uploading thread.
  virtual void didSendBodyDataBytes(int64_t bytes, int64_t totalPostSize) = 0;
  // Once, when the last chunk has been sent, on the uploading thread.
  virtual void didFinishSending() = 0;
  // The failure as text; on the main thread, after the manager has posted
  // "releaseUpload".
  virtual void uploadFailed(const std::string& error) = 0;
};

}  // namespace quillbox
