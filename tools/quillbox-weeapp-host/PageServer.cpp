#include "PageServer.h"

#include <httplib.h>
#include <openssl/crypto.h>

#include <cstdlib>
#include <future>
#include <nlohmann/json.hpp>

#include "Platform/Files/FileSystem.h"
#include "Platform/Loop/RunLoop.h"
#include "Platform/Process/Log.h"

namespace quillbox::weeapphost {

using Json = nlohmann::json;
using platform::Log;

namespace {

const char kLoopback[] = "127.0.0.1";
const char kRefusedLog[] = "quillbox-weeapp-host: refused %s %s (%s)";
constexpr std::chrono::seconds kKeepAlive{15};
constexpr int kServerThreads = 16;  // each open page holds one for its event stream

// The page's icon, served without the token (a browser asks for it on its own).
const char kIconPath[] = "/favicon.ico";
const char kIconFile[] = "icon.png";
const char kBusy[] = "busy: the widget's main thread did not take the request within 10 s";
static_assert(PageServer::kMainThreadWait == std::chrono::seconds(10));

// Why a request was refused or failed, as the reply's text.
void fail(httplib::Response& res, int status, const std::string& why) {
  res.status = status;
  res.set_content(why + "\n", "text/plain; charset=utf-8");
}

bool sameSecret(const std::string& a, const std::string& b) {
  return !a.empty() && a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// Runs fn on the main run loop and waits for it a bounded time.
bool runOnMain(std::function<void()> fn) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> ran = done->get_future();
  platform::RunLoop::main().perform([fn = std::move(fn), done] {
    fn();
    done->set_value();
  });
  return ran.wait_for(PageServer::kMainThreadWait) == std::future_status::ready;
}

// The request's JSON object; nullopt for anything else.
std::optional<Json> jsonBody(const httplib::Request& req) {
  Json j = Json::parse(req.body, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  return j;
}

std::optional<uint64_t> unsignedMember(const Json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_number_unsigned()) return std::nullopt;
  return it->get<uint64_t>();
}

const char* contentTypeOfPageFile(const std::string& name) {
  if (name.ends_with(".html")) return "text/html; charset=utf-8";
  if (name.ends_with(".js")) return "text/javascript; charset=utf-8";
  if (name.ends_with(".png")) return "image/png";
  return "text/css; charset=utf-8";
}

}  // namespace

PageServer::PageServer(std::string pageDir, EventHub& hub, PageUserInterface& ui,
                       PublishedFiles& files, PageServerHooks hooks)
    : pageDir_(std::move(pageDir)), hub_(hub), ui_(ui), files_(files), hooks_(std::move(hooks)) {}

PageServer::~PageServer() {
  stop();
}

std::string PageServer::cookieName() const {
  return "quillbox_token_" + std::to_string(port_);
}

std::string PageServer::address() const {
  return "http://" + std::string(kLoopback) + ":" + std::to_string(port_) + "/?token=" + token_;
}

bool PageServer::hasToken(const httplib::Request& req) const {
  if (req.has_param("token") && sameSecret(req.get_param_value("token"), token_)) return true;
  // Cookies of every port of this address arrive; ours is named after the port.
  const std::string cookies = req.get_header_value("Cookie");
  const std::string prefix = cookieName() + "=";
  size_t pos = 0;
  while (pos < cookies.size()) {
    size_t end = cookies.find(';', pos);
    std::string item =
        cookies.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    size_t first = item.find_first_not_of(' ');
    item = first == std::string::npos ? std::string() : item.substr(first);
    if (item.rfind(prefix, 0) == 0 && sameSecret(item.substr(prefix.size()), token_)) return true;
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  return false;
}

PageServer::Refusal PageServer::check(const httplib::Request& req) const {
  const std::string self = std::string(kLoopback) + ":" + std::to_string(port_);
  // A name that merely resolves here (DNS rebinding) is not this page.
  if (req.get_header_value("Host") != self) return Refusal::Host;
  if (req.path == kIconPath && (req.method == "GET" || req.method == "HEAD")) return Refusal::None;
  if (!hasToken(req)) return Refusal::Token;
  const bool changesState = req.method != "GET" && req.method != "HEAD";
  if (changesState) {
    if (req.has_header("Origin") && req.get_header_value("Origin") != "http://" + self) {
      return Refusal::Origin;
    }
    if (req.get_header_value("Sec-Fetch-Site") == "cross-site") return Refusal::Origin;
  }
  return Refusal::None;
}

bool PageServer::start(int port, const std::string& token, std::string* error) {
  token_ = token;
  if (token_.empty()) {
    *error = "no random token could be made";
    return false;
  }
  server_ = std::make_unique<httplib::Server>();
  server_->new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
  port_ = port == 0 ? server_->bind_to_any_port(kLoopback) : port;
  if (port_ <= 0 || (port != 0 && !server_->bind_to_port(kLoopback, port))) {
    *error = "cannot listen on " + std::string(kLoopback) + ":" + std::to_string(port);
    return false;
  }
  server_->set_default_headers({
      {"Cache-Control", "no-store"},
      {"X-Content-Type-Options", "nosniff"},
      {"X-Frame-Options", "DENY"},
      {"Referrer-Policy", "no-referrer"},
      {"Content-Security-Policy",
       "default-src 'self'; img-src 'self'; style-src 'self'; script-src 'self'; "
       "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'"},
  });
  server_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    Refusal r = check(req);
    if (r == Refusal::None) return httplib::Server::HandlerResponse::Unhandled;
    static const char* kWhy[] = {"", "foreign Host", "no token", "foreign Origin"};
    static const char* kReply[] = {
        "", "refused: foreign Host (open the page as 127.0.0.1, as printed)",
        "refused: no token, or the token of an earlier start (open the address the host printed "
        "when it started)",
        "refused: foreign Origin (only the host's own page may do this)"};
    Log::printf(kRefusedLog, req.method.c_str(), req.path.c_str(), kWhy[static_cast<int>(r)]);
    fail(res, 403, kReply[static_cast<int>(r)]);
    return httplib::Server::HandlerResponse::Handled;
  });
  routes();
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  return true;
}

void PageServer::routes() {
  auto servePageFile = [this](const std::string& name) {
    return [this, name](const httplib::Request& req, httplib::Response& res) {
      auto bytes = platform::FileSystem::Default().readFile(pageDir_ + "/" + name);
      if (!bytes) return fail(res, 404, "not found: " + pageDir_ + "/" + name + " can't be read");
      // The token leaves the address bar: from here on the cookie carries it.
      if (name == "index.html" && req.has_param("token")) {
        res.set_header("Set-Cookie",
                       cookieName() + "=" + token_ + "; Path=/; HttpOnly; SameSite=Strict");
        res.set_redirect("/", 303);
        return;
      }
      res.set_content(*bytes, contentTypeOfPageFile(name));
    };
  };
  server_->Get("/", servePageFile("index.html"));
  server_->Get("/page.js", servePageFile("page.js"));
  server_->Get("/page.css", servePageFile("page.css"));
  server_->Get(kIconPath, servePageFile(kIconFile));
  // Whether the page's token still holds, without opening a stream.
  server_->Get("/api/ping",
               [](const httplib::Request&, httplib::Response& res) { res.status = 204; });

  server_->Get(R"(/file/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
    std::optional<std::string> path =
        files_.pathFor(std::strtoull(req.matches[1].str().c_str(), nullptr, 10));
    std::optional<std::string> bytes;
    if (path) bytes = platform::FileSystem::Default().readFile(*path);
    if (!bytes) return fail(res, 404, path ? "not found: " + *path : "not found: no such picture");
    res.set_content(*bytes, PublishedFiles::contentTypeOf(*path));
  });

  server_->Get("/events", [this](const httplib::Request&, httplib::Response& res) {
    uint64_t client = hub_.subscribe();
    hub_.sendTo(client, "hello", Json{{"client", client}}.dump());
    hub_.sendTo(client, "view", hooks_.viewJson());
    ui_.greet(client);
    auto first = std::make_shared<bool>(true);
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, client, first](size_t, httplib::DataSink& sink) {
          if (*first) {
            *first = false;
            // A page whose stream is cut (the host stopped) tries again soon.
            std::string retry = "retry: " + std::to_string(kReconnectAfter.count()) + "\n\n";
            if (!sink.write(retry.data(), retry.size())) return false;
          }
          bool gone = false;
          auto event = hub_.next(client, kKeepAlive, &gone);
          if (gone) return false;
          // A comment line now and then finds out that a page went away.
          std::string chunk = event ? "event: " + event->name + "\ndata: " + event->data + "\n\n"
                                    : std::string(": keep-alive\n\n");
          return sink.write(chunk.data(), chunk.size());
        },
        [this, client](bool) { hub_.unsubscribe(client); });
  });

  server_->Post("/api/click", [this](const httplib::Request& req, httplib::Response& res) {
    auto body = jsonBody(req);
    auto view = body ? unsignedMember(*body, "view") : std::nullopt;
    if (!view) return fail(res, 400, "bad request: expected {\"view\": N}");
    auto found = std::make_shared<bool>(false);
    if (!runOnMain([this, id = *view, found] { *found = hooks_.tap(id); })) {
      return fail(res, 503, kBusy);
    }
    if (!*found)
      return fail(res, 404, "not found: the widget has no view " + std::to_string(*view));
    res.status = 204;
  });

  server_->Post("/api/appear", [this](const httplib::Request&, httplib::Response& res) {
    if (!runOnMain([this] { hooks_.appear(); })) return fail(res, 503, kBusy);
    res.status = 204;
  });

  server_->Post("/api/alert", [this](const httplib::Request& req, httplib::Response& res) {
    auto body = jsonBody(req);
    auto alert = body ? unsignedMember(*body, "alert") : std::nullopt;
    auto index = body ? unsignedMember(*body, "index") : std::nullopt;
    if (!alert || !index || *index > 64) {
      return fail(res, 400, "bad request: expected {\"alert\": N, \"index\": I}");
    }
    auto taken = std::make_shared<bool>(false);
    if (!runOnMain([this, a = *alert, i = static_cast<int>(*index), taken] {
          *taken = ui_.answerAlert(a, i);
        })) {
      return fail(res, 503, kBusy);
    }
    if (!*taken)
      return fail(res, 409, "conflict: that prompt is no longer open (answered already)");
    res.status = 204;
  });

  // Answered here, not on the main thread: the main thread is waiting for it.
  server_->Post("/api/toasts-hidden", [this](const httplib::Request& req, httplib::Response& res) {
    auto body = jsonBody(req);
    auto client = body ? unsignedMember(*body, "client") : std::nullopt;
    auto seq = body ? unsignedMember(*body, "seq") : std::nullopt;
    if (!client || !seq) return fail(res, 400, "bad request: expected {\"client\": N, \"seq\": S}");
    hub_.acknowledge(*client, *seq);
    res.status = 204;
  });
}

void PageServer::stop() {
  hub_.close();
  if (server_) server_->stop();
  if (thread_.joinable()) thread_.join();
}

}  // namespace quillbox::weeapphost
