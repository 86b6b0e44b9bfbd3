// FileUploadConnection: sends a file to one upload address as a sequence of
// POST requests of at most kChunkSize body bytes each, from a start offset,
// one request after the other, and reports to its delegate as if it were one
// connection.
//
// Every chunk reuses the request's URL, method and headers; only the body
// changes: the file's bytes from `startBytes`, read afresh (open, seek, read,
// close) for each request, so at most one chunk is held in memory. The
// requests carry no offset; each body continues where the previous one ended,
// counted from the bytes handed to the network. A file of N bytes sent from S
// goes out in ceil((N - S) / kChunkSize) requests, and in one empty request
// when S equals N. The requests share one connection (an HttpSession) as long
// as the service keeps it open.
//
// The delegate hears connectionDidFinishLoading once, after the last chunk,
// and connectionDidFailWithError once when a chunk request gets no reply or a
// reply outside 200..299, or when the file has become shorter than it was at
// creation; either ends the sequence. Progress carries the running total over
// all chunks and the current chunk's body length.
//
// Threads: create it on a thread whose run loop runs; every report arrives
// there, and the next chunk is started there. cancel() on that thread: no
// report follows. Shared (std::shared_ptr); a report in progress keeps the
// object alive, so the delegate may drop its reference from inside a report.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Net/HttpClient.h"
#include "Upload/FileUploadConnectionDelegate.h"

namespace quillbox {

namespace platform {
class HttpConnection;
}

class FileUploadConnection : public std::enable_shared_from_this<FileUploadConnection> {
 public:
  static constexpr int64_t kChunkSize = 1024 * 1024;

  // A started connection sending `filePath` from `startBytes` with the URL,
  // method and headers of `request`, reporting to `delegate` (not owned; may
  // be replaced with setDelegate() before the caller's loop runs again).
  // nullptr, with a log line, when the file can't be read, the offset lies
  // outside it, or the transfer can't be started: nothing is sent then.
  static std::shared_ptr<FileUploadConnection> connectionWithRequest(
      platform::HttpRequest request, FileUploadConnectionDelegate* delegate,
      const std::string& filePath, int64_t startBytes);

  // Up to kChunkSize bytes of the file from `offset` (fewer at its end, empty
  // at or past it); nullopt when the file can't be opened or read.
  static std::optional<std::string> subDataFromFile(const std::string& filePath, int64_t offset);

  ~FileUploadConnection();
  FileUploadConnection(const FileUploadConnection&) = delete;
  FileUploadConnection& operator=(const FileUploadConnection&) = delete;

  FileUploadConnectionDelegate* delegate() const { return delegate_; }
  void setDelegate(FileUploadConnectionDelegate* d) { delegate_ = d; }
  // Stops the running chunk; no report follows. Safe to call more than once.
  void cancel();

  const std::string& filePath() const { return filePath_; }
  int64_t startBytes() const { return startBytes_; }
  int64_t fileSize() const { return fileSize_; }
  int64_t totalWriten() const { return totalWriten_; }

 private:
  FileUploadConnection() = default;
  // A connection for the chunk at startBytes_ (not started); nullptr with the
  // reason in `error` when the chunk can't be read.
  std::unique_ptr<platform::HttpConnection> initConnection(std::string* error);
  bool start();
  void didSendBodyData(int64_t bytes, int64_t expected);
  void chunkFinished(long status);
  void fail(const std::string& error);

  platform::HttpRequest upRequest_;
  std::unique_ptr<platform::HttpConnection> upConnection_;
  FileUploadConnectionDelegate* delegate_ = nullptr;
  std::string filePath_;
  int64_t startBytes_ = 0;
  int64_t fileSize_ = 0;
  int64_t totalWriten_ = 0;
  long lastStatus_ = 0;
  bool ended_ = false;
};

using FileUploadConnectionPtr = std::shared_ptr<FileUploadConnection>;

}  // namespace quillbox
