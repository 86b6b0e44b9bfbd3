// HttpSession: connections kept open between requests.
//
// Requests that name the same session (HttpRequest::session) share its
// connection cache and TLS sessions: a request to a host the session has
// talked to before goes over the open connection when the server kept it,
// without a new handshake. Requests without a session open their own
// connection each time. The connections close when the last holder lets the
// session go. Safe for concurrent use from any thread.
#pragma once

#include <memory>

namespace quillbox::platform {

class HttpSession {
 public:
  HttpSession();
  ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  // The libcurl share handle (for HttpClient).
  void* shareHandle() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillbox::platform
