#include "Platform/Net/HttpClient.h"

#include <curl/curl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

#include "Platform/Files/FileSystem.h"
#include "Platform/Net/HttpSession.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"

namespace quillbox::platform {

namespace {

// Replies larger than this are cut off as a transport failure: no reply of the
// service comes near it, and a runaway body must not exhaust memory.
constexpr size_t kMaxReplyBytes = 64u * 1024u * 1024u;

const char* const kSystemBundles[] = {
    "/etc/ssl/certs/ca-certificates.crt",
    "/etc/pki/tls/certs/ca-bundle.crt",
    "/etc/ssl/ca-bundle.pem",
};

void globalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool hasHeader(const HttpHeaders& headers, const char* name) {
  return std::any_of(headers.begin(), headers.end(),
                     [&](const auto& h) { return strcasecmp(h.first.c_str(), name) == 0; });
}

// The header list in the given order; curl's own defaults that we don't want
// are switched off with "Name:" entries.
curl_slist* buildHeaderList(const HttpHeaders& headers) {
  curl_slist* list = nullptr;
  for (const auto& [name, value] : headers) {
    // A line break would end the field early and let the rest pose as
    // further fields or a body.
    const std::string_view breaks("\r\n\0", 3);
    if (name.find_first_of(breaks) != std::string::npos ||
        value.find_first_of(breaks) != std::string::npos) {
      NSLog("HttpClient: header field %s dropped: it holds a line break", name.c_str());
      continue;
    }
    std::string line = name;
    line += value.empty() ? ";" : ": ";
    line += value;
    list = curl_slist_append(list, line.c_str());
  }
  if (!hasHeader(headers, "Accept")) list = curl_slist_append(list, "Accept:");
  if (!hasHeader(headers, "Content-Type")) list = curl_slist_append(list, "Content-Type:");
  list = curl_slist_append(list, "Expect:");
  return list;
}

bool isTlsFailure(CURLcode rc) {
  return rc == CURLE_PEER_FAILED_VERIFICATION || rc == CURLE_SSL_CACERT_BADFILE ||
         rc == CURLE_SSL_CONNECT_ERROR || rc == CURLE_SSL_CERTPROBLEM ||
         rc == CURLE_SSL_ISSUER_ERROR || rc == CURLE_SSL_PINNEDPUBKEYNOTMATCH;
}

std::string errorText(CURLcode rc, const char* buffer) {
  std::string text = curl_easy_strerror(rc);
  if (buffer && buffer[0]) text += std::string(": ") + buffer;
  return text;
}

// Options shared by requests and uploads. `blob` must outlive the transfer.
void applyCommon(CURL* curl, const std::string& url, curl_slist* headers, char* errorBuffer,
                 const std::string& blob) {
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "localhost,127.0.0.1,::1");
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!blob.empty()) {
    curl_blob b{};
    b.data = const_cast<char*>(blob.data());
    b.len = blob.size();
    b.flags = CURL_BLOB_COPY;
    curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &b);
  }
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
}

// The connection's socket, kept where its handle is, so that every read of a
// reply can acknowledge at once. curl reports it when it opens and closes it.
void quickAck(const int* socket) {
  if (*socket < 0) return;
  const int on = 1;
  // Sends the pending acknowledgement now, instead of up to 40 ms later.
  ::setsockopt(*socket, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}
int onSocketOpened(void* user, curl_socket_t fd, curlsocktype purpose) {
  if (purpose == CURLSOCKTYPE_IPCXN) {
    *static_cast<int*>(user) = fd;
    quickAck(static_cast<int*>(user));
  }
  return CURL_SOCKOPT_OK;
}
int onSocketClosed(void* user, curl_socket_t fd) {
  auto* socket = static_cast<int*>(user);
  if (*socket == fd) *socket = -1;
  return ::close(fd);
}
// Called after each read of the reply's header lines: acknowledge at once.
size_t onHeader(char*, size_t size, size_t n, void* user) {
  quickAck(static_cast<int*>(user));
  return size * n;
}
void watchSocket(CURL* curl, int* socket) {
  curl_easy_setopt(curl, CURLOPT_SOCKOPTFUNCTION, onSocketOpened);
  curl_easy_setopt(curl, CURLOPT_SOCKOPTDATA, socket);
  curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, onSocketClosed);
  curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, socket);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, socket);
}

// Where a reply's body goes, and the socket it comes from.
struct Reply {
  std::string* body;
  const int* socket;
};
size_t writeBody(char* data, size_t size, size_t n, void* user) {
  auto* reply = static_cast<Reply*>(user);
  size_t bytes = size * n;
  if (reply->body->size() + bytes > kMaxReplyBytes) return 0;  // aborts the transfer
  reply->body->append(data, bytes);
  quickAck(reply->socket);
  return bytes;
}

bool isLoopbackHost(const std::string& host) {
  if (host == "localhost" || host == "::1" || host == "[::1]") return true;
  // 127.0.0.0/8 written as a dotted quad (curl has normalised the URL).
  unsigned a, b, c, d;
  char tail;
  return std::sscanf(host.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) == 4 && a == 127 &&
         b < 256 && c < 256 && d < 256;
}

// A transport failure for a refused URL, with its log line.
HttpResponse refused(const std::string& url, const std::string& why) {
  NSLog("HttpClient: refused %s: %s", url.c_str(), why.c_str());
  HttpResponse r;
  r.error = "refused: " + why;
  return r;
}

}  // namespace

std::optional<std::string> HttpClient::refusal(const std::string& url, bool cleartextAllowed) {
  CURLU* u = curl_url();
  if (!u) return std::string("no URL parser");
  std::optional<std::string> why;
  char* scheme = nullptr;
  char* host = nullptr;
  if (curl_url_set(u, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK ||
      curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK ||
      curl_url_get(u, CURLUPART_HOST, &host, 0) != CURLUE_OK) {
    why = "not an absolute http(s) URL";
  } else if (strcasecmp(scheme, "http") == 0) {
    if (!cleartextAllowed && !isLoopbackHost(host))
      why =
          "plain http:// goes only to loopback addresses (the request would carry secrets in "
          "the clear); use https://";
  } else if (strcasecmp(scheme, "https") != 0) {
    why = std::string("the scheme \"") + scheme + "\" is not http(s)";
  }
  curl_free(scheme);
  curl_free(host);
  curl_url_cleanup(u);
  return why;
}

std::string HttpClient::trustedCertificates() {
  std::string extraPath = Environment::caFile();
  if (extraPath.empty()) return "";
  auto extra = FileSystem::Default().readFile(extraPath);
  if (!extra) {
    NSLog("HttpClient: QUILLBOX_CA_FILE %s can't be read; only the system CAs are trusted",
          extraPath.c_str());
    return "";
  }
  std::string bundle;
  for (const char* path : kSystemBundles) {
    if (auto system = FileSystem::Default().readFile(path)) {
      bundle = std::move(*system);
      break;
    }
  }
  if (!bundle.empty() && bundle.back() != '\n') bundle += '\n';
  bundle += *extra;
  return bundle;
}

namespace {

// Progress of a request body for a SendObserver.
struct BodyProgress {
  const HttpClient::SendObserver* observer;
  int64_t total = 0;
  int64_t reported = 0;

  void reportUpTo(int64_t sent, bool all) {
    while (sent - reported >= HttpClient::kBodyReportBytes || (all && sent > reported)) {
      int64_t bytes = std::min<int64_t>(sent - reported, HttpClient::kBodyReportBytes);
      reported += bytes;
      if (observer->onBodySent) observer->onBodySent(bytes);
    }
  }
};

int onTransferInfo(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow) {
  auto* progress = static_cast<BodyProgress*>(user);
  const auto& cancelled = progress->observer->isCancelled;
  if (cancelled && cancelled()) return 1;
  progress->reportUpTo(ulnow, ulnow == progress->total);
  return 0;
}

// The libcurl client: one easy handle per request.
class CurlHttpClient final : public HttpClient {
 public:
  using HttpClient::send;
  HttpResponse send(const HttpRequest& request, const SendObserver& observer) override;
};

std::atomic<HttpClient*> g_override{nullptr};

}  // namespace

HttpClient& HttpClient::Default() {
  if (HttpClient* o = g_override.load()) return *o;
  static auto* curl = new CurlHttpClient;  // outlives detached worker threads
  return *curl;
}

HttpClient* HttpClient::setDefaultForTesting(HttpClient* client) {
  return g_override.exchange(client);
}

HttpResponse CurlHttpClient::send(const HttpRequest& request, const SendObserver& observer) {
  if (request.session) return request.session->send(request, observer);
  globalInit();
  CURL* curl = curl_easy_init();
  if (!curl) {
    HttpResponse response;
    response.error = "HttpClient: no curl handle";
    return response;
  }
  int socket = -1;  // outlives the handle's connection: closed by the cleanup below
  HttpResponse response = perform(curl, request, observer, trustedCertificates(), &socket);
  curl_easy_cleanup(curl);
  return response;
}

HttpResponse HttpClient::perform(void* handle, const HttpRequest& request,
                                 const SendObserver& observer, const std::string& trusted,
                                 int* socket) {
  if (auto why = refusal(request.url, request.cleartextAllowed)) return refused(request.url, *why);
  HttpResponse response;
  CURL* curl = static_cast<CURL*>(handle);
  // Every option is set anew; the handle keeps its open connection and TLS session.
  curl_easy_reset(curl);
  char errorBuffer[CURL_ERROR_SIZE] = {0};
  curl_slist* headers = buildHeaderList(request.headers);
  applyCommon(curl, request.url, headers, errorBuffer, trusted);
  watchSocket(curl, socket);
  int timeout = request.timeoutSeconds > 0 ? request.timeoutSeconds : kDefaultTimeoutSeconds;
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(timeout));

  if (request.method == "GET" && !request.body) {
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  } else {
    // The body is sent from the request itself, which outlives the transfer:
    // no copy of it is made.
    static const std::string kNoBody;
    const std::string& body = request.body ? *request.body : kNoBody;
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    if (request.method != "POST")
      curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  Reply reply{&response.body, socket};
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
  BodyProgress progress{&observer};
  if (observer.onBodySent || observer.isCancelled) {
    progress.total = request.body ? static_cast<int64_t>(request.body->size()) : 0;
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, onTransferInfo);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &progress);
  }

  CURLcode rc = curl_easy_perform(curl);
  if (rc == CURLE_OK) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
    curl_off_t sent = 0;
    curl_easy_getinfo(curl, CURLINFO_SIZE_UPLOAD_T, &sent);
    progress.reportUpTo(sent, true);
  } else if (rc == CURLE_ABORTED_BY_CALLBACK) {
    response.status = 0;
    response.body.clear();
    response.error = "cancelled";
  } else {
    response.status = 0;
    response.body.clear();
    response.error = errorText(rc, errorBuffer);
    response.tlsFailure = isTlsFailure(rc);
    if (response.tlsFailure)
      NSLog("HttpClient: TLS verification failed for %s: %s", request.url.c_str(),
            response.error.c_str());
  }
  // Nothing the handle keeps may point at this call's header list or buffers.
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
  curl_slist_free_all(headers);
  return response;
}

// ---------------------------------------------------------------------------

struct HttpUpload::Transfer {
  HttpUpload* self = nullptr;
  std::unique_ptr<SequentialFile> file;
  int64_t remaining = 0;  // bytes still to hand to curl
  int64_t reported = 0;   // bytes reported through onProgress
  int64_t total = 0;
  std::string readFailure;  // why the body could not be read
};

HttpUpload::HttpUpload(std::string url, HttpHeaders headers, std::string filePath, int64_t offset,
                       int timeoutSeconds, Callbacks callbacks)
    : url_(std::move(url)),
      headers_(std::move(headers)),
      filePath_(std::move(filePath)),
      offset_(offset),
      timeoutSeconds_(timeoutSeconds),
      callbacks_(std::move(callbacks)) {}

HttpUpload::~HttpUpload() = default;

void HttpUpload::cancel() {
  cancelled_.store(true);
}

void HttpUpload::run() {
  globalInit();
  auto fail = [this](const std::string& reason) {
    if (cancelled_.load()) return;
    NSLog("HttpUpload: %s failed: %s", url_.c_str(), reason.c_str());
    if (callbacks_.onFail) callbacks_.onFail(reason);
  };

  if (auto why = HttpClient::refusal(url_, false)) return fail("refused: " + *why);
  if (offset_ < 0) return fail("negative upload offset");
  auto attrs = FileSystem::Default().attributes(filePath_);
  if (!attrs || attrs->isDirectory) return fail("the file " + filePath_ + " can't be read");
  if (attrs->size < offset_)
    return fail(strprintf("the file %s holds %lld bytes, fewer than the upload offset %lld",
                          filePath_.c_str(), static_cast<long long>(attrs->size),
                          static_cast<long long>(offset_)));

  Transfer t;
  t.self = this;
  t.total = attrs->size - offset_;
  t.remaining = t.total;
  contentLength_.store(t.total);
  t.file = FileSystem::Default().openSequential(filePath_);
  if (!t.file || !t.file->seek(offset_)) return fail("the file " + filePath_ + " can't be opened");

  HttpHeaders headers = headers_;
  std::string lengthText = std::to_string(t.total);
  bool placed = false;
  for (auto& [name, value] : headers) {
    if (strcasecmp(name.c_str(), "Content-Length") == 0) {
      value = lengthText;
      placed = true;
    }
  }
  if (!placed) headers.emplace_back("Content-Length", lengthText);

  CURL* curl = curl_easy_init();
  if (!curl) return fail("no curl handle");
  char errorBuffer[CURL_ERROR_SIZE] = {0};
  std::string blob = HttpClient::trustedCertificates();
  curl_slist* list = buildHeaderList(headers);
  applyCommon(curl, url_, list, errorBuffer, blob);
  long timeout = timeoutSeconds_ > 0 ? timeoutSeconds_ : HttpClient::kDefaultTimeoutSeconds;
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, timeout);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, timeout);
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t.total));
  curl_easy_setopt(
      curl, CURLOPT_READFUNCTION, +[](char* buffer, size_t size, size_t n, void* user) -> size_t {
        auto* tr = static_cast<Transfer*>(user);
        if (tr->self->cancelled_.load()) return CURL_READFUNC_ABORT;
        size_t want =
            static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(size * n), tr->remaining));
        if (want == 0) return 0;
        int64_t got = tr->file->read(buffer, want);
        if (got < 0) {
          tr->readFailure = "the file can't be read";
          return CURL_READFUNC_ABORT;
        }
        if (got == 0) {
          tr->readFailure = "the file shrank while it was sent";
          return CURL_READFUNC_ABORT;
        }
        tr->remaining -= got;
        return static_cast<size_t>(got);
      });
  curl_easy_setopt(curl, CURLOPT_READDATA, &t);
  curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, static_cast<long>(kBlockSize));
  std::string replyBody;
  int socket = -1;  // outlives the handle's connection: closed by its cleanup
  watchSocket(curl, &socket);
  Reply reply{&replyBody, &socket};
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(
      curl, CURLOPT_XFERINFOFUNCTION,
      +[](void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow) -> int {
        auto* tr = static_cast<Transfer*>(user);
        HttpUpload* self = tr->self;
        if (self->cancelled_.load()) return 1;
        // Report whole blocks as they leave, and the last partial block.
        while (ulnow - tr->reported >= static_cast<curl_off_t>(kBlockSize) ||
               (ulnow == tr->total && ulnow > tr->reported)) {
          int64_t block = std::min<int64_t>(ulnow - tr->reported, kBlockSize);
          tr->reported += block;
          if (self->callbacks_.onProgress && !self->cancelled_.load())
            self->callbacks_.onProgress(block);
        }
        return self->cancelled_.load() ? 1 : 0;
      });
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);

  CURLcode rc = curl_easy_perform(curl);
  long status = 0;
  if (rc == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_off_t sent = 0;
  curl_easy_getinfo(curl, CURLINFO_SIZE_UPLOAD_T, &sent);
  curl_slist_free_all(list);
  curl_easy_cleanup(curl);

  if (cancelled_.load()) return;
  if (rc != CURLE_OK) {
    if (!t.readFailure.empty()) return fail(t.readFailure + " (" + filePath_ + ")");
    std::string error = errorText(rc, errorBuffer);
    if (isTlsFailure(rc))
      NSLog("HttpClient: TLS verification failed for %s: %s", url_.c_str(), error.c_str());
    return fail(error);
  }
  // Blocks that left after the last progress call.
  while (sent > t.reported) {
    int64_t block = std::min<int64_t>(sent - t.reported, kBlockSize);
    t.reported += block;
    if (callbacks_.onProgress && !cancelled_.load()) callbacks_.onProgress(block);
  }
  if (cancelled_.load()) return;
  if (callbacks_.onFinish) callbacks_.onFinish(status);
}

}  // namespace quillbox::platform
