// HttpSession: one connection kept open between requests, and one thread
// that sends them.
//
// Requests that name the same session (HttpRequest::session) are sent one
// after the other through one libcurl handle: a request to a host the session
// has talked to before goes over the open connection when the server kept it,
// without a new handshake, and the trusted certificates (the system bundle
// and QUILLBOX_CA_FILE) are read once, by the session's first request.
// Connections of a session run their transfers on the session's own thread
// (HttpConnection), in the order they were started, instead of a thread each.
// Requests without a session open their own connection each time.
//
// Thread safety: all operations may be called from any thread; requests of
// one session wait for each other. The destructor waits for the transfer that
// is running on the session's thread (a cancelled one ends within about a
// second) and drops the ones queued behind it, then closes the connection.
// REQUIRES: the last holder does not let the session go on its own thread.
#pragma once

#include <functional>
#include <memory>

#include "Platform/Net/HttpClient.h"

namespace quillbox::platform {

class HttpSession {
 public:
  HttpSession();
  ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  // HttpClient::send() through the session's connection; `request.session`
  // is not consulted.
  HttpResponse send(const HttpRequest& request, const HttpClient::SendObserver& observer);

  // Runs `job` on the session's thread after the jobs queued before it; the
  // thread is started by the first job. false when it can't be started.
  bool perform(std::function<void()> job);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillbox::platform
