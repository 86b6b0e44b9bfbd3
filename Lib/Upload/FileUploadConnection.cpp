#include "Upload/FileUploadConnection.h"

#include <algorithm>

#include "Platform/Files/FileSystem.h"
#include "Platform/Net/HttpConnection.h"
#include "Platform/Net/HttpSession.h"
#include "Platform/Process/Log.h"

namespace quillbox {

using platform::FileSystem;
using platform::HttpConnection;

namespace {

const char kLogUnreadable[] = "FileUploadConnection: %s can't be read";
const char kLogBadOffset[] = "FileUploadConnection: offset %lld lies outside %s (%lld bytes)";
const char kLogNoTransfer[] = "FileUploadConnection: the transfer of %s can't be started";
const char kErrorShrank[] = "the file %s shrank while it was sent (%lld of %lld bytes sent)";
const char kErrorUnreadable[] = "the file %s can't be read";
const char kErrorStatus[] = "the service refused a chunk of %s with status %ld";

}  // namespace

std::optional<std::string> FileUploadConnection::subDataFromFile(const std::string& filePath,
                                                                 int64_t offset) {
  auto file = FileSystem::Default().openSequential(filePath);
  if (!file || offset < 0 || !file->seek(offset)) return std::nullopt;
  std::string chunk(static_cast<size_t>(kChunkSize), '\0');
  size_t filled = 0;
  while (filled < chunk.size()) {
    int64_t got = file->read(chunk.data() + filled, chunk.size() - filled);
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    filled += static_cast<size_t>(got);
  }
  chunk.resize(filled);
  return chunk;
}

std::shared_ptr<FileUploadConnection> FileUploadConnection::connectionWithRequest(
    platform::HttpRequest request, FileUploadConnectionDelegate* delegate,
    const std::string& filePath, int64_t startBytes) {
  // A file that can't be read is refused here: sending it as an empty body
  // would end in a "finished" upload of nothing.
  auto attrs = FileSystem::Default().attributes(filePath);
  if (!attrs || attrs->isDirectory) {
    NSLog(kLogUnreadable, filePath.c_str());
    return nullptr;
  }
  if (startBytes < 0 || startBytes > attrs->size) {
    NSLog(kLogBadOffset, static_cast<long long>(startBytes), filePath.c_str(),
          static_cast<long long>(attrs->size));
    return nullptr;
  }
  std::shared_ptr<FileUploadConnection> c(new FileUploadConnection());
  c->upRequest_ = std::move(request);
  c->upRequest_.body.reset();
  // One connection for every chunk, as long as the service keeps it open.
  if (!c->upRequest_.session) c->upRequest_.session = std::make_shared<platform::HttpSession>();
  c->delegate_ = delegate;
  c->filePath_ = filePath;
  c->startBytes_ = startBytes;
  c->fileSize_ = attrs->size;
  std::string error;
  c->upConnection_ = c->initConnection(&error);
  if (!c->upConnection_) {
    NSLog("FileUploadConnection: %s", error.c_str());
    return nullptr;
  }
  if (!c->start()) return nullptr;
  return c;
}

FileUploadConnection::~FileUploadConnection() {
  cancel();
}

std::unique_ptr<HttpConnection> FileUploadConnection::initConnection(std::string* error) {
  auto chunk = subDataFromFile(filePath_, startBytes_);
  if (!chunk) {
    *error = strprintf(kErrorUnreadable, filePath_.c_str());
    return nullptr;
  }
  // Never past the size noted at creation (a growing file is sent as it was),
  // and a short read means the file has shrunk: sending on would never reach
  // the end.
  const int64_t wanted = std::min<int64_t>(kChunkSize, fileSize_ - startBytes_);
  if (static_cast<int64_t>(chunk->size()) > wanted) chunk->resize(static_cast<size_t>(wanted));
  if (static_cast<int64_t>(chunk->size()) < wanted) {
    *error = strprintf(kErrorShrank, filePath_.c_str(), static_cast<long long>(startBytes_),
                       static_cast<long long>(fileSize_));
    return nullptr;
  }
  platform::HttpRequest request = upRequest_;
  request.body = std::move(*chunk);
  const int64_t expected = static_cast<int64_t>(request.body->size());
  // The connection's reports run on this thread's loop, where this object
  // lives; a connection that is replaced or dropped is cancelled first, so a
  // report never reaches a destroyed object.
  HttpConnection::Callbacks callbacks;
  callbacks.onBodySent = [this, expected](int64_t bytes, int64_t, int64_t) {
    auto keep = shared_from_this();
    didSendBodyData(bytes, expected);
  };
  callbacks.onResponse = [this](long status) {
    auto keep = shared_from_this();
    lastStatus_ = status;
    if (delegate_) delegate_->connectionDidReceiveResponse(*this, status);
  };
  callbacks.onData = [this](const std::string& data) {
    auto keep = shared_from_this();
    if (delegate_) delegate_->connectionDidReceiveData(*this, data);
  };
  callbacks.onFinish = [this] {
    auto keep = shared_from_this();
    chunkFinished(lastStatus_);
  };
  callbacks.onFail = [this](const std::string& e) {
    auto keep = shared_from_this();
    fail(e);
  };
  return std::make_unique<HttpConnection>(std::move(request), std::move(callbacks));
}

bool FileUploadConnection::start() {
  if (upConnection_ && upConnection_->start()) return true;
  NSLog(kLogNoTransfer, filePath_.c_str());
  upConnection_.reset();
  return false;
}

void FileUploadConnection::cancel() {
  ended_ = true;
  if (upConnection_) upConnection_->cancel();
  upConnection_.reset();
}

void FileUploadConnection::didSendBodyData(int64_t bytes, int64_t expected) {
  if (ended_) return;
  startBytes_ += bytes;
  totalWriten_ += bytes;
  if (delegate_) delegate_->connectionDidSendBodyData(*this, bytes, totalWriten_, expected);
}

void FileUploadConnection::chunkFinished(long status) {
  if (ended_) return;
  // A refused chunk is not part of the file at the service: going on would
  // report a finished upload of a file the service doesn't hold.
  if (status < 200 || status > 299) return fail(strprintf(kErrorStatus, filePath_.c_str(), status));
  if (startBytes_ >= fileSize_) {
    ended_ = true;
    upConnection_.reset();
    if (delegate_) delegate_->connectionDidFinishLoading(*this);
    return;
  }
  std::string error;
  auto next = initConnection(&error);
  if (!next) return fail(error);
  upConnection_ = std::move(next);
  if (!start()) fail(strprintf(kLogNoTransfer, filePath_.c_str()));
}

void FileUploadConnection::fail(const std::string& error) {
  if (ended_) return;
  ended_ = true;
  upConnection_.reset();
  NSLog("FileUploadConnection: %s", error.c_str());
  if (delegate_) delegate_->connectionDidFailWithError(*this, error);
}

}  // namespace quillbox
