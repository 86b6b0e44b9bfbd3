// HttpClient: the HTTP service of the platform (libcurl).
//
// Requests are synchronous: send() blocks the calling thread until the reply,
// a transport error or the time-out. Header fields are sent exactly in the
// given order and with the given values; besides them only what HTTP/1.1
// needs is added (Host, and Content-Length for a body). No "Accept: */*", no
// "Expect:", no cookie engine, no proxy for loopback addresses. A field whose
// name or value holds a line break is left out (and logged).
//
// Replies are acknowledged at once: after every read of a reply the
// connection's delayed acknowledgement is cut short (TCP_QUICKACK), so a
// service that writes a reply in pieces with Nagle's algorithm on does not
// wait for the client's delayed ACK before the next piece.
//
// TLS: the server certificate and host name are always verified, against the
// system's CA bundle plus, when QUILLBOX_CA_FILE names a PEM file, the
// certificates in that file. A failed verification is a transport failure
// (status 0) and is logged ("HttpClient: TLS verification failed for ...").
//
// Plain http:// goes only to loopback addresses (127.0.0.0/8, ::1,
// localhost): requests carry the session token or the password digest, which
// must never travel in the clear. Any other http:// URL, and a URL without a
// scheme, is refused as a transport failure (status 0) with a log line
// ("HttpClient: refused ..."), unless the request allows clear text.
//
// HttpClient::Default() is the libcurl client; tests install a double with
// setDefaultForTesting(), usually an HttpClientWrapper that overrides only
// what it changes. Safe for concurrent use from any thread (each call has its
// own handle, or waits for its session's). A thread started through Threads
// frees the TLS library's state of its requests when it ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillbox::platform {

class HttpSession;

// Header fields in sending order.
using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string url;
  std::string method = "GET";
  HttpHeaders headers;
  // Sent as the body when present (also when empty: then "Content-Length: 0").
  std::optional<std::string> body;
  // Whole-request limit in seconds; 0 means the client default (60 seconds).
  int timeoutSeconds = 0;
  // Connections kept open between the requests of one session (none: a
  // connection of its own).
  std::shared_ptr<HttpSession> session;
  // Allows plain http:// to any host. Only for a request that carries no
  // secret and whose reply is protected by other means (the update check:
  // its reply is enciphered and only announces a version).
  bool cleartextAllowed = false;
};

struct HttpResponse {
  long status = 0;          // HTTP status; 0 when no HTTP response arrived
  std::string body;         // reply body bytes
  std::string error;        // transport error text when status is 0
  bool tlsFailure = false;  // status 0 because the TLS handshake or verification failed
};

class HttpClient {
 public:
  static constexpr int kDefaultTimeoutSeconds = 60;

  HttpClient() = default;
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;
  virtual ~HttpClient() = default;

  // The process-wide client (libcurl unless a test replaced it).
  static HttpClient& Default();
  // REQUIRES: client outlives its use; nullptr restores libcurl. Gives the
  // double installed before (nullptr: none), for scopes that put it back.
  static HttpClient* setDefaultForTesting(HttpClient* client);

  // What send() with an observer reports while the request runs, on the
  // sending thread.
  struct SendObserver {
    // Bytes of the request body handed to the connection since the previous
    // call: whole blocks of kBodyReportBytes as they leave, and the rest at the
    // end. On a completed request the counts add up to the body's length.
    std::function<void(int64_t bytes)> onBodySent;
    // Polled while the request runs (at least once a second); true aborts it
    // (status 0, error "cancelled") and no further onBodySent follows.
    std::function<bool()> isCancelled;
  };
  static constexpr int64_t kBodyReportBytes = 256 * 1024;

  // Sends one request and waits for the reply. Never throws.
  virtual HttpResponse send(const HttpRequest& request) { return send(request, SendObserver{}); }
  // send() that reports the body's progress and can be cancelled.
  virtual HttpResponse send(const HttpRequest& request, const SendObserver& observer) = 0;

  // Why `url` may not be used (see the transport rules above), or nullopt
  // when it may. Every connection of the platform asks this first.
  static std::optional<std::string> refusal(const std::string& url, bool cleartextAllowed);

  // The CA certificates a connection trusts: the system bundle followed by the
  // file of QUILLBOX_CA_FILE (when set and readable). Exposed for tests.
  static std::string trustedCertificates();

 protected:
  friend class HttpSession;
  // send() on the libcurl handle `handle` (its options are set anew; its open
  // connections are kept), trusting `trusted` (empty: the system's CAs).
  // `*socket` is where the handle's connection keeps its socket between
  // transfers; it must live as long as the handle.
  static HttpResponse perform(void* handle, const HttpRequest& request,
                              const SendObserver& observer, const std::string& trusted,
                              int* socket);
};

// Forwards every call to another client; tests override what they need.
class HttpClientWrapper : public HttpClient {
 public:
  explicit HttpClientWrapper(HttpClient& target) : target_(target) {}
  HttpResponse send(const HttpRequest& request) override { return target_.send(request); }
  HttpResponse send(const HttpRequest& request, const SendObserver& observer) override {
    return target_.send(request, observer);
  }

 protected:
  HttpClient& target_;
};

// HttpUpload: one streamed POST of a file from a byte offset to its end.
//
// The body is read block by block (kBlockSize) through
// FileSystem::openSequential; the file is never held in memory. The
// "Content-Length" field gets the file's size at the start of run() minus
// `offset` (its place in `headers` is kept; appended when absent). A file that
// is shorter than `offset`, or that shrinks while it is sent, fails the upload
// with a reason; a file that grows is sent up to the length announced.
//
// Callbacks run on the thread that calls run(), one at a time:
//   onProgress(bytes)  after each block handed to the connection, with the
//                      bytes of that block (their sum is the body length);
//   onFinish(status)   once, when the whole request completed (any status);
//   onFail(reason)     once, when it did not (transport error, TLS, file).
// Exactly one of onFinish/onFail ends an upload that was not cancelled.
//
// cancel() may be called from any thread, at any time, more than once. After
// it, run() returns promptly (at the latest about one second later, also on a
// stalled connection) and makes no further callback: neither onFinish nor
// onFail. A callback that had already started when cancel() was called may
// still complete.
class HttpUpload {
 public:
  static constexpr size_t kBlockSize = 256 * 1024;

  struct Callbacks {
    std::function<void(int64_t bytesThisBlock)> onProgress;
    std::function<void(long status)> onFinish;
    std::function<void(std::string error)> onFail;
  };

  // `timeoutSeconds`: the connection is given up when no byte moved for that
  // long (0: the client default). TLS and plain-http rules as for HttpClient
  // (an upload never allows clear text).
  HttpUpload(std::string url, HttpHeaders headers, std::string filePath, int64_t offset,
             int timeoutSeconds, Callbacks callbacks);
  HttpUpload(const HttpUpload&) = delete;
  HttpUpload& operator=(const HttpUpload&) = delete;
  ~HttpUpload();

  // Runs the upload on the calling thread; returns when it has ended.
  // REQUIRES: called at most once.
  void run();
  // Thread-safe; see above.
  void cancel();
  bool isCancelled() const { return cancelled_.load(); }

  // The body length announced by run() (-1 before run() got it). For tests.
  int64_t contentLength() const { return contentLength_.load(); }

 private:
  struct Transfer;
  std::string url_;
  HttpHeaders headers_;
  std::string filePath_;
  int64_t offset_;
  int timeoutSeconds_;
  Callbacks callbacks_;
  std::atomic<bool> cancelled_{false};
  std::atomic<int64_t> contentLength_{-1};
};

}  // namespace quillbox::platform
