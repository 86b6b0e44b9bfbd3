// QBXUploadTaskDelegate: how an upload task reports its outcomes.
//
// Every operation is optional: the defaults do nothing, so a delegate
// overrides only what it wants to hear. A task calls its delegate only when it
// has one; the task never keeps its delegate alive.
//
// Threads: createFileOnServerSuccess and createFileOnServerFail are called on
// the main thread (the preparing thread waits until they have returned);
// didSendBodyDataBytes, didFinish and uploadFailed are called on the task's
// upload thread. A delegate that touches shared state hands it to the main
// thread itself.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace quillbox {

class QBXUploadTask;

class QBXUploadTaskDelegate {
 public:
  virtual ~QBXUploadTaskDelegate() = default;

  // Preparation done: the record's fileID and uploadedSize are known. Main thread.
  virtual void createFileOnServerSuccess(const std::shared_ptr<QBXUploadTask>& task) { (void)task; }
  // Preparation failed or the tamper check refused the file. Main thread.
  virtual void createFileOnServerFail(const std::shared_ptr<QBXUploadTask>& task,
                                      const std::string& reason,
                                      const std::shared_ptr<QBXUploadTask>& uploadTask) {
    (void)task, (void)reason, (void)uploadTask;
  }
  // A block of body data has been sent: `bytes` of the file are at the
  // service (or on their way), of `totalPostSize`. Upload thread.
  virtual void didSendBodyDataBytes(int64_t bytes, int64_t totalPostSize,
                                    const std::shared_ptr<QBXUploadTask>& uploadTask) {
    (void)bytes, (void)totalPostSize, (void)uploadTask;
  }
  // The chunk upload completed. Upload thread.
  virtual void didFinish(const std::shared_ptr<QBXUploadTask>& task) { (void)task; }
  // The chunk upload failed. Upload thread.
  virtual void uploadFailed(const std::string& reason,
                            const std::shared_ptr<QBXUploadTask>& uploadTask) {
    (void)reason, (void)uploadTask;
  }
};

}  // namespace quillbox
