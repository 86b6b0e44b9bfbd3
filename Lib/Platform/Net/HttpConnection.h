// HttpConnection: one asynchronous HTTP request whose reports arrive on a run
// loop, the way a connection scheduled on a thread's run loop reports.
//
// The request (with its body in memory) is sent on the thread of the
// request's session (HttpSession: after the transfers started before it, over
// the session's connection), or, without a session, by
// HttpClient::Default().send() on a transfer thread of the connection's own.
// Every report is handed to the run
// loop of the thread that called start(), in this order:
//   onBodySent(bytes, totalWritten, expected)  as the body leaves, in blocks
//                                  (HttpClient::kBodyReportBytes) and the rest;
//   onResponse(status)            once an HTTP reply has arrived (any status);
//   onData(bytes)                  once with the whole reply body, when not empty;
//   onFinish()                     the request completed;
// or, instead of the last three, onFail(error) when no reply arrived
// (transport error, time-out, TLS failure). Exactly one of onFinish / onFail
// ends a connection that was not cancelled.
//
// Threads: start() on the thread whose loop must run; cancel() on that thread
// guarantees that no report follows once it returns. The destructor cancels;
// without a session it waits for the transfer thread (at most about a second
// on a stalled connection), with one the session's destructor waits for the
// transfer. Not copyable.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "Platform/Net/HttpClient.h"

namespace quillbox::platform {

class HttpConnection {
 public:
  struct Callbacks {
    std::function<void(int64_t bytesWritten, int64_t totalBytesWritten,
                       int64_t totalBytesExpectedToWrite)>
        onBodySent;
    std::function<void(long status)> onResponse;
    std::function<void(const std::string& data)> onData;
    std::function<void()> onFinish;
    std::function<void(const std::string& error)> onFail;
  };

  HttpConnection(HttpRequest request, Callbacks callbacks);
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;
  ~HttpConnection();

  // Starts the transfer; reports go to the calling thread's run loop. false
  // when the transfer thread can't be started (nothing is sent, nothing
  // reported). REQUIRES: called at most once.
  bool start();
  // Stops the transfer; see above for which thread may rely on what.
  void cancel();

  // The body length of the request.
  int64_t bodyLength() const { return bodyLength_; }

 private:
  struct Shared;
  static void transfer(const std::shared_ptr<Shared>& s, int64_t expected, HttpSession* session);
  std::shared_ptr<Shared> shared_;
  // Held here, on the starting thread, never by the transfer: the session's
  // thread must not be the one that lets it go.
  std::shared_ptr<HttpSession> session_;
  std::thread transfer_;
  int64_t bodyLength_ = 0;
};

}  // namespace quillbox::platform
