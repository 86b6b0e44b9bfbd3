#include "Platform/Net/HttpConnection.h"

#include <atomic>
#include <system_error>

#include "Platform/Loop/RunLoop.h"
#include "Platform/Net/HttpSession.h"
#include "Platform/Process/Log.h"
#include "Platform/Process/Threads.h"

namespace quillbox::platform {

// What the transfer thread and the closures it hands to the loop share; it
// outlives the connection object while either still holds it.
struct HttpConnection::Shared {
  HttpRequest request;
  Callbacks callbacks;
  std::atomic<bool> cancelled{false};
  std::shared_ptr<RunLoop> loop;
};

HttpConnection::HttpConnection(HttpRequest request, Callbacks callbacks)
    : shared_(std::make_shared<Shared>()) {
  bodyLength_ = request.body ? static_cast<int64_t>(request.body->size()) : 0;
  session_ = std::move(request.session);
  request.session.reset();
  shared_->request = std::move(request);
  shared_->callbacks = std::move(callbacks);
}

HttpConnection::~HttpConnection() {
  cancel();
  if (transfer_.joinable()) transfer_.join();
}

bool HttpConnection::start() {
  shared_->loop = RunLoop::currentShared();
  auto shared = shared_;
  const int64_t expected = bodyLength_;
  if (session_) {
    if (session_->perform(
            [shared, expected, session = session_.get()] { transfer(shared, expected, session); }))
      return true;
    NSLog("HttpConnection: the session's thread can't be started");
    return false;
  }
  try {
    transfer_ = std::thread([shared, expected] { transfer(shared, expected, nullptr); });
  } catch (const std::system_error& e) {
    NSLog("HttpConnection: no transfer thread: %s", e.what());
    return false;
  }
  return true;
}

void HttpConnection::cancel() {
  shared_->cancelled.store(true);
}

void HttpConnection::transfer(const std::shared_ptr<Shared>& s, int64_t expected,
                              HttpSession* session) {
  // Cancelled while it waited for the session's thread: nothing to send.
  if (s->cancelled.load()) return;
  int64_t written = 0;
  HttpClient::SendObserver observer;
  observer.onBodySent = [&](int64_t bytes) {
    written += bytes;
    const int64_t total = written;
    s->loop->perform([s, bytes, total, expected] {
      if (!s->cancelled.load() && s->callbacks.onBodySent)
        s->callbacks.onBodySent(bytes, total, expected);
    });
  };
  observer.isCancelled = [&] { return s->cancelled.load(); };
  HttpResponse response = session ? session->send(s->request, observer)
                                  : HttpClient::Default().send(s->request, observer);
  if (!session) Threads::releaseThreadState();  // a joined thread, not started through Threads
  s->request.body.reset();  // the body is no longer needed; don't hold it while reports wait
  if (s->cancelled.load()) return;
  s->loop->perform([s, response = std::move(response)] {
    // A report may cancel the connection: check again before each next one.
    const auto& c = s->callbacks;
    if (s->cancelled.load()) return;
    if (response.status == 0) {
      if (c.onFail) c.onFail(response.error);
      return;
    }
    if (c.onResponse) c.onResponse(response.status);
    if (s->cancelled.load()) return;
    if (!response.body.empty() && c.onData) c.onData(response.body);
    if (s->cancelled.load()) return;
    if (c.onFinish) c.onFinish();
  });
}

}  // namespace quillbox::platform
