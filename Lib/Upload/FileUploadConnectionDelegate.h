// FileUploadConnectionDelegate: what a FileUploadConnection tells its delegate.
//
// The reports of a single connection, passed on for a whole chunked upload.
// Every operation is optional (the defaults do nothing). All are called on the
// thread that created the connection, from its run loop.
#pragma once

#include <cstdint>
#include <string>

namespace quillbox {

class FileUploadConnection;

class FileUploadConnectionDelegate {
 public:
  virtual ~FileUploadConnectionDelegate() = default;

  // An HTTP reply to a chunk request arrived (`connection:didReceiveResponse:`).
  virtual void connectionDidReceiveResponse(FileUploadConnection& connection, long status) {
    (void)connection;
    (void)status;
  }
  // The reply body of a chunk request (`connection:didReceiveData:`).
  virtual void connectionDidReceiveData(FileUploadConnection& connection, const std::string& data) {
    (void)connection;
    (void)data;
  }
  // Body bytes handed to the network (`connection:didSendBodyData:
  // totalBytesWritten:totalBytesExpectedToWrite:`): the bytes of this report,
  // the connection's running total over all chunks, and the body length of
  // the current chunk.
  virtual void connectionDidSendBodyData(FileUploadConnection& connection, int64_t bytesWritten,
                                         int64_t totalBytesWritten,
                                         int64_t totalBytesExpectedToWrite) {
    (void)connection;
    (void)bytesWritten;
    (void)totalBytesWritten;
    (void)totalBytesExpectedToWrite;
  }
  // Once, after the last chunk (`connectionDidFinishLoading:`).
  virtual void connectionDidFinishLoading(FileUploadConnection& connection) { (void)connection; }
  // Once, when the upload can't go on (`connection:didFailWithError:`): a
  // chunk request got no reply or a refusal, or the file shrank. Nothing follows.
  virtual void connectionDidFailWithError(FileUploadConnection& connection,
                                          const std::string& error) {
    (void)connection;
    (void)error;
  }
};

}  // namespace quillbox
