#include "DevServer.h"

#include <httplib.h>
#include <openssl/evp.h>

#include <chrono>
#include <thread>

#include "Certificate.h"
#include "ConnectionCutter.h"
#include "FormBody.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Process/Log.h"
#include "ServerText.h"
#include "TimeStampAuthority.h"

namespace quillbox::devserver {
namespace {

using nlohmann::json;
using platform::Log;

// Bodies kept whole: forms (thumbnails included) and admin requests.
constexpr size_t kFormLimit = 16 * 1024 * 1024;
// Bodies up to this size appear as text in the request journal.
constexpr size_t kJournalBodyLimit = 64 * 1024;

std::string dumpJson(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool isLoopbackAddress(const std::string& addr) {
  return addr.rfind("127.", 0) == 0 || addr == "::1" || addr.rfind("::ffff:127.", 0) == 0;
}

bool hasBody(const httplib::Request& req) {
  return req.has_header("Content-Length") ||
         lower(req.get_header_value("Transfer-Encoding")).find("chunked") != std::string::npos;
}

}  // namespace

// One request being served, with what the log and the journal need of it.
struct DevServer::Exchange {
  const httplib::Request& req;
  httplib::Response& res;
  const httplib::ContentReader* reader;
  std::string query;     // raw text after "?"
  FormBody queryFields;  // the query decoded like a form
  std::string resource;  // path relative to the API base
  std::string body;      // kept body (forms)
  int64_t bodyLength = 0;
  bool bodyRead = false;
  bool keepBodyText = true;  // false for uploads
  bool dropped = false;
  std::string user;
};

DevServer::DevServer(DevServerOptions options) : options_(std::move(options)) {}

DevServer::~DevServer() = default;

std::string DevServer::baseUrl() const {
  std::string host =
      options_.host.find(':') != std::string::npos ? "[" + options_.host + "]" : options_.host;
  return std::string(options_.http ? "http" : "https") + "://" + host + ":" +
         std::to_string(port_) + kBasePath;
}

bool DevServer::start(std::string* error) {
  auto& fs = platform::FileSystem::Default();
  if (!fs.createDirectories(options_.dataDir)) {
    *error = "cannot create the data folder " + options_.dataDir;
    return false;
  }
  if (!options_.logFile.empty()) {
    logFile_.open(options_.logFile, std::ios::app);
    if (!logFile_) {
      *error = "cannot open the log file " + options_.logFile;
      return false;
    }
  }
  if (options_.usersFile.empty()) {
    users_ = UserDirectory::demo();
  } else {
    auto users = UserDirectory::load(options_.usersFile, error);
    if (!users) return false;
    users_ = std::move(*users);
  }
  for (const auto& f : options_.failFlags) {
    if (!faults_.applyFailureFlag(f, error)) return false;
  }
  for (const auto& f : options_.dropFlags) {
    if (!faults_.applyDropFlag(f, error)) return false;
  }
  for (const auto& f : options_.delayFlags) {
    if (!faults_.applyDelayFlag(f, error)) return false;
  }
  if (!options_.announceUpdate.empty() && !updates_.applyFlag(options_.announceUpdate, error))
    return false;
  files_ = std::make_unique<FileStore>(options_.dataDir);
  if (!files_->load(error)) return false;
  tokens_ = std::make_unique<SessionTokens>(options_.dataDir);
  tokens_->load();
  legacy_ = std::make_unique<LegacyService>(*files_, *tokens_, users_);
  timeStamps_ = TimeStampAuthority::ensureIn(options_.dataDir, error);
  if (!timeStamps_) return false;

  if (options_.http) {
    server_ = std::make_unique<httplib::Server>();
  } else {
    auto cert = Certificate::ensureIn(options_.dataDir, error);
    if (!cert) return false;
    certPath_ = cert->certPath();
    auto ssl =
        std::make_unique<httplib::SSLServer>(cert->certPath().c_str(), cert->keyPath().c_str());
    if (!ssl->is_valid()) {
      *error = "cannot load the certificate " + cert->certPath();
      return false;
    }
    server_ = std::move(ssl);
  }
  server_->new_task_queue = [] { return new httplib::ThreadPool(32); };
  // A reply goes out as its header and its body in two writes: with Nagle's
  // algorithm on, the body would wait for the client's delayed ACK of the
  // header (up to 40 ms a request). Accepted sockets inherit the setting.
  server_->set_tcp_nodelay(true);
  server_->set_read_timeout(30, 0);
  server_->set_write_timeout(30, 0);
  server_->set_keep_alive_max_count(1000);  // a chunked upload keeps its connection
  server_->set_payload_max_length(std::numeric_limits<size_t>::max());
  auto withReader = [this](const httplib::Request& req, httplib::Response& res,
                           const httplib::ContentReader& reader) { serve(req, res, &reader); };
  auto withoutReader = [this](const httplib::Request& req, httplib::Response& res) {
    serve(req, res, nullptr);
  };
  server_->Get(".*", withoutReader);
  server_->Post(".*", withReader);
  server_->Put(".*", withReader);
  server_->Delete(".*", withReader);
  server_->set_exception_handler(
      [this](const httplib::Request& req, httplib::Response& res, const std::exception_ptr& ep) {
        std::string what = "unknown";
        try {
          if (ep) std::rethrow_exception(ep);
        } catch (const std::exception& e) {
          what = e.what();
        } catch (...) {
        }
        logLine("internal error on " + req.method + " " + req.path + ": " + what);
        res.status = 500;
        res.set_content(dumpJson({{"error", "internal error"}}), "application/json");
      });

  if (options_.port == 0) {
    port_ = server_->bind_to_any_port(options_.host);
  } else {
    port_ = server_->bind_to_port(options_.host, options_.port) ? options_.port : -1;
  }
  if (port_ <= 0) {
    *error = "cannot listen on " + options_.host + ":" + std::to_string(options_.port);
    return false;
  }
  return true;
}

bool DevServer::run() {
  return server_->listen_after_bind();
}

void DevServer::stop() {
  if (server_) server_->stop();
}

void DevServer::logLine(const std::string& line) {
  Log::line(line);
  std::lock_guard lock(logMutex_);
  if (logFile_.is_open()) {
    logFile_ << line << '\n';
    logFile_.flush();
  }
}

void DevServer::serve(const httplib::Request& req, httplib::Response& res,
                      const httplib::ContentReader* reader) {
  Exchange x{req, res, reader, {}, {}, {}, {}, 0, false, true, false, {}};
  if (size_t q = req.target.find('?'); q != std::string::npos) x.query = req.target.substr(q + 1);
  x.queryFields = FormBody::parse(x.query);
  if (req.path.rfind(kAdminPrefix, 0) == 0) {
    if (!isLoopbackAddress(req.remote_addr)) {
      readBody(x, 0);
      replyJson(x, 403, {{"error", "admin endpoints answer loopback clients only"}});
    } else {
      serveAdmin(x);
    }
    finish(x, false);
    return;
  }
  x.resource =
      req.path.rfind(kBasePath, 0) == 0 ? req.path.substr(std::string(kBasePath).size()) : req.path;
  serveApi(x);
  finish(x, true);
}

void DevServer::serveApi(Exchange& x) {
  if (int64_t ms = faults_.delayFor(x.resource); ms > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
  {
    std::unique_lock lock(cannedMutex_);
    auto it = canned_.find(x.req.method + " " + x.req.path);
    if (it != canned_.end()) {
      CannedReply reply = it->second;
      lock.unlock();
      readBody(x, kFormLimit);
      x.res.status = reply.status;
      x.res.set_content(reply.body, reply.contentType);
      return;
    }
  }
  if (auto failure = faults_.takeFailure(x.resource)) {
    readBody(x, kFormLimit);
    x.res.status = failure->status;
    x.res.set_content(failure->body, "application/json");
    return;
  }
  const std::string& m = x.req.method;
  if (m == "GET" && x.req.path == UpdateAnnouncer::kCheckPath)
    return updates_.answerCheck(x.queryFields, x.res);
  if (m == "POST" && x.resource == "login.json") return login(x);
  if (m == "POST" && x.resource == "file/upload.json") {
    if (LegacyService::isStream(x.queryFields)) return legacyStream(x);
    if (x.queryFields.get("id") || x.queryFields.get("index")) return uploadBytes(x);
    return uploadService(x);
  }
  if (m == "POST" && x.resource == "file/safe.json") return registerEvidence(x);
  if (m == "POST" && x.resource == "file/create.json") return createFile(x);
  if (m == "GET" && x.resource == "file/length.json") return fileLength(x);
  if (m == "POST" && x.resource == TimeStampAuthority::kPath) return timeStamp(x);
  readBody(x, kFormLimit);
  replyJson(x, 404, {{"error", kNotFound}});
}

void DevServer::timeStamp(Exchange& x) {
  std::string reply = readBody(x, kFormLimit) ? timeStamps_->reply(x.body) : std::string();
  x.res.status = reply.empty() ? 400 : 200;
  x.res.set_content(reply, "application/timestamp-reply");
}

bool DevServer::readBody(Exchange& x, size_t limit) {
  if (x.bodyRead) return x.body.size() == static_cast<size_t>(x.bodyLength);
  x.bodyRead = true;
  if (!x.reader) {
    x.body = x.req.body;
    x.bodyLength = static_cast<int64_t>(x.body.size());
    if (x.body.size() > limit) x.body.resize(limit);
    return x.body.size() == static_cast<size_t>(x.bodyLength);
  }
  if (!hasBody(x.req)) return true;  // nothing to read; waiting for EOF would hang
  (*x.reader)([&](const char* data, size_t n) {
    x.bodyLength += static_cast<int64_t>(n);
    if (x.body.size() < limit) x.body.append(data, std::min(n, limit - x.body.size()));
    return true;
  });
  return x.body.size() == static_cast<size_t>(x.bodyLength);
}

std::optional<std::string> DevServer::authorizedUser(const Exchange& x) const {
  const std::string value = x.req.get_header_value("Authorization");
  const std::string scheme = "OAuth2 ";
  if (value.rfind(scheme, 0) != 0) return std::nullopt;
  return tokens_->userOf(value.substr(scheme.size()));
}

void DevServer::replyJson(Exchange& x, int status, const json& body) {
  x.res.status = status;
  x.res.set_content(dumpJson(body), "application/json; charset=utf-8");
}

void DevServer::replyXml(Exchange& x, int status, const std::string& xml) {
  x.res.status = status;
  x.res.set_content(kXmlHead + xml, "application/xml; charset=utf-8");
}

void DevServer::replyXmlError(Exchange& x, int status, const std::string& type,
                              const std::string& message) {
  replyXml(x, status,
           "<errorResult><type>" + xmlEscape(type) + "</type><message>" + xmlEscape(message) +
               "</message></errorResult>");
}

void DevServer::login(Exchange& x) {
  readBody(x, kFormLimit);
  FormBody form = FormBody::parse(x.body);
  for (const char* field : {"client_secret", "userName", "password"}) {
    if (form.value(field).empty()) {
      return replyXmlError(x, 400, "3", std::string(kMissingField) + ": " + field);
    }
  }
  if (form.value("client_secret") != kClientSecret) {
    return replyXmlError(x, 401, "2", kWrongClient);
  }
  const std::string name = form.value("userName");
  const User* user = users_.findByName(name);
  if (!user || lower(form.value("password")) != sha1Hex(user->password + name)) {
    return replyXmlError(x, 401, "1", kWrongPassword);
  }
  x.user = name;
  std::string token = tokens_->issue(name);
  replyXml(x, 200,
           std::string("<result><type>0</type><message>") + kLoginOk + "</message><access_token>" +
               token +
               "</access_token><token_type>bearer</token_type><expires_in>86400</expires_in>"
               "<userName>" +
               xmlEscape(name) + "</userName></result>");
}

void DevServer::uploadService(Exchange& x) {
  readBody(x, kFormLimit);
  FormBody form = FormBody::parse(x.body);
  if (auto reply = legacy_->serveForm(form, x.req)) return replyLegacy(x, *reply);
  if (form.value("service") == "getPhoneUserName") {
    // The look-up is the first step of a login by phone number, made while the
    // client's token may have expired: a valid token is not required, or a
    // client whose token was revoked could never log in again.
    if (auto user = authorizedUser(x)) x.user = *user;
    const User* user = users_.findByPhone(form.value("mphone"));
    if (!user) return replyXmlError(x, 404, "4", kUnknownPhone);
    // The account name is the document's first element: a client reads it
    // when the first element closes.
    return replyXml(x, 200, "<string>" + xmlEscape(user->name) + "</string>");
  }
  auto user = authorizedUser(x);
  if (!user) return replyXmlError(x, 401, "5", kBadToken);
  x.user = *user;
  replyXmlError(x, 400, "6", kUnknownService);
}

void DevServer::registerEvidence(Exchange& x) {
  readBody(x, kFormLimit);
  auto user = authorizedUser(x);
  if (!user) return replyJson(x, 401, {{"error", kBadToken}});
  x.user = *user;
  FormBody form = FormBody::parse(x.body);
  for (const char* field : {"hash", "sha1"}) {
    if (!isHexDigest40(form.value(field))) {
      return replyJson(x, 400, {{"error", std::string(field) + " must be 40 hexadecimal digits"}});
    }
  }
  for (const char* field : {"time", "size"}) {
    if (!isDecimal(form.value(field))) {
      return replyJson(x, 400, {{"error", std::string(field) + " must be a decimal number"}});
    }
  }
  std::string id =
      files_->registerEvidence(*user, lower(form.value("hash")), lower(form.value("sha1")),
                               std::stoll(form.value("time")), std::stoll(form.value("size")));
  replyJson(x, 200, {{"id", id}});
}

void DevServer::createFile(Exchange& x) {
  if (!readBody(x, kFormLimit)) {
    return replyJson(x, 413, {{"error", "creation form too large"}});
  }
  auto user = authorizedUser(x);
  if (!user) return replyJson(x, 401, {{"error", kBadToken}});
  x.user = *user;
  FormBody form = FormBody::parse(x.body);
  for (const char* field : {"name", "type", "length", "hash"}) {
    if (form.value(field).empty()) {
      return replyJson(x, 400, {{"error", std::string("missing field ") + field}});
    }
  }
  if (!isDecimal(form.value("type"))) {
    return replyJson(x, 400, {{"error", "type must be a decimal number"}});
  }
  if (!isDecimal(form.value("length"))) {
    return replyJson(x, 400, {{"error", "length must be a decimal number"}});
  }
  if (!isHexDigest40(form.value("hash"))) {
    return replyJson(x, 400, {{"error", "hash must be 40 hexadecimal digits"}});
  }
  FileRecord record;
  record.owner = *user;
  record.name = form.value("name");
  record.type = form.value("type");
  record.declaredLength = std::stoll(form.value("length"));
  record.hash = lower(form.value("hash"));
  std::map<std::string, std::string> images;
  for (const auto& [name, value] : form.fields()) {
    if (name == "name" || name == "type" || name == "length" || name == "hash") continue;
    if (name == "small_img" || name == "middle_img") {
      auto bytes = decodeBase64(value);
      if (!bytes) return replyJson(x, 400, {{"error", name + " is not Base64"}});
      images[name] = std::move(*bytes);
      continue;
    }
    if (!record.fields.contains(name)) record.fields[name] = value;
  }
  auto id = files_->create(std::move(record), images);
  if (!id) return replyJson(x, 500, {{"error", "cannot store the file"}});
  replyJson(x, 200, {{"id", *id}});
}

void DevServer::fileLength(Exchange& x) {
  auto user = authorizedUser(x);
  if (!user) return replyJson(x, 401, {{"error", kBadToken}});
  x.user = *user;
  std::string id = x.queryFields.value("id");
  auto record = FileStore::isValidId(id) ? files_->find(id) : std::nullopt;
  if (!record || record->owner != *user) return replyJson(x, 404, {{"error", kNoSuchFile}});
  replyJson(x, 200, {{"length", files_->heldLength(id).value_or(0)}});
}

void DevServer::uploadBytes(Exchange& x) {
  x.keepBodyText = false;
  auto refuse = [&](int status, const json& body) {
    readBody(x, 0);  // read and drop, so the connection stays usable
    replyJson(x, status, body);
  };
  auto user = authorizedUser(x);
  if (!user) return refuse(401, {{"error", kBadToken}});
  x.user = *user;
  std::string id = x.queryFields.value("id");
  std::string indexText = x.queryFields.value("index");
  auto record = FileStore::isValidId(id) ? files_->find(id) : std::nullopt;
  if (!record || record->owner != *user) return refuse(404, {{"error", kNoSuchFile}});
  if (!isDecimal(indexText)) return refuse(400, {{"error", "index must be a decimal number"}});
  int64_t index = std::stoll(indexText);
  FileStore::AppendError error;
  int64_t held = 0;
  auto append = files_->beginAppend(id, index, &error, &held);
  switch (error) {
    case FileStore::AppendError::kNone:
      break;
    case FileStore::AppendError::kUnknownFile:
      return refuse(404, {{"error", kNoSuchFile}});
    case FileStore::AppendError::kWrongIndex:
      return refuse(409, {{"error", "index " + indexText + " does not match the " +
                                        std::to_string(held) + " bytes held"},
                          {"length", held}});
    case FileStore::AppendError::kBusy:
      return refuse(409, {{"error", "another upload of this file is running"}, {"length", held}});
    case FileStore::AppendError::kIo:
      return refuse(500, {{"error", "cannot open the file"}});
  }
  std::optional<int64_t> declared;
  const std::string lengthText = x.req.get_header_value("Content-Length");
  if (isDecimal(lengthText)) declared = std::stoll(lengthText);
  auto drop = faults_.takeUploadDrop(declared);
  bool ioError = false;
  bool complete = true;
  x.bodyRead = true;
  if (hasBody(x.req)) {
    complete = (*x.reader)([&](const char* data, size_t n) {
      if (drop) {
        int64_t room = *drop - x.bodyLength;
        size_t take = room > 0 ? std::min(n, static_cast<size_t>(room)) : 0;
        x.bodyLength += static_cast<int64_t>(take);
        if (!append->write(data, take)) ioError = true;
        if (x.bodyLength >= *drop) {
          x.dropped = true;
          ConnectionCutter::cut(x.req);
          return false;
        }
        return !ioError;
      }
      x.bodyLength += static_cast<int64_t>(n);
      if (!append->write(data, n)) ioError = true;
      return !ioError;
    });
  }
  if (drop && !x.dropped && x.bodyLength >= *drop) {
    // The body ended exactly where the drop was due (or was empty).
    x.dropped = true;
    ConnectionCutter::cut(x.req);
  }
  int64_t length = append->length();
  int64_t overflow = append->overflow();
  append.reset();
  if (x.dropped) {
    logLine("upload of " + id + " cut after " + std::to_string(x.bodyLength) +
            " body bytes; the file holds " + std::to_string(length));
    x.res.status = 500;
    return;
  }
  if (ioError) return replyJson(x, 500, {{"error", kCannotWrite}, {"length", length}});
  if (!complete) {
    logLine("upload of " + id + " ended early; the file holds " + std::to_string(length));
    return replyJson(x, 400, {{"error", "incomplete body"}, {"length", length}});
  }
  if (overflow > 0) {
    return replyJson(x, 400, {{"error", "body goes past the declared length"}, {"length", length}});
  }
  replyJson(x, 200, {{"length", length}, {"complete", length == record->declaredLength}});
}

void DevServer::legacyStream(Exchange& x) {
  x.keepBodyText = false;
  x.bodyRead = true;
  replyLegacy(x, legacy_->serveStream(x.queryFields, x.req, [&x](const auto& sink) {
    if (!hasBody(x.req)) return true;
    return (*x.reader)([&](const char* data, size_t n) {
      x.bodyLength += static_cast<int64_t>(n);
      return sink(data, n);
    });
  }));
}

void DevServer::replyLegacy(Exchange& x, const LegacyService::Reply& reply) {
  x.user = reply.user;
  if (!reply.setCookie.empty()) x.res.set_header("Set-Cookie", reply.setCookie);
  replyXml(x, reply.status, reply.xml);
}

void DevServer::serveAdmin(Exchange& x) {
  readBody(x, kFormLimit);
  const std::string& m = x.req.method;
  std::string what = x.req.path.substr(std::string(kAdminPrefix).size());
  auto parseBody = [&]() { return json::parse(x.body, nullptr, false); };
  if (what == "requests") {
    if (m == "GET") return replyJson(x, 200, journal_.all());
    if (m == "DELETE") {
      journal_.clear();
      return replyJson(x, 200, {{"ok", true}});
    }
  } else if (what == "faults") {
    if (m == "GET") return replyJson(x, 200, faults_.describe());
    if (m == "DELETE") {
      faults_.clear();
      return replyJson(x, 200, {{"ok", true}});
    }
    if (m == "POST") {
      std::string error;
      json faults = parseBody();
      if (faults.is_discarded() || !faults_.apply(faults, &error)) {
        return replyJson(x, 400, {{"error", error.empty() ? "body is not JSON" : error}});
      }
      return replyJson(x, 200, faults_.describe());
    }
  } else if (what.rfind("files/", 0) == 0 && m == "GET") {
    std::string id = what.substr(6);
    auto record = FileStore::isValidId(id) ? files_->find(id) : std::nullopt;
    if (!record) return replyJson(x, 404, {{"error", kNoSuchFile}});
    return replyJson(x, 200,
                     {{"id", id},
                      {"owner", record->owner},
                      {"name", record->name},
                      {"type", record->type},
                      {"declaredLength", record->declaredLength},
                      {"hash", record->hash},
                      {"fields", record->fields},
                      {"images", record->images},
                      {"length", files_->heldLength(id).value_or(0)},
                      {"sha1", files_->sha1Of(id).value_or("")},
                      {"dataPath", files_->dataPath(id)},
                      {"created", record->created}});
  } else if (what == "registrations" && m == "GET") {
    return replyJson(x, 200, files_->registrations());
  } else if (what == "update") {
    return updates_.answerAdmin(m, x.body, x.res);
  } else if (what == "tokens" && m == "DELETE") {
    tokens_->revokeAll();
    return replyJson(x, 200, {{"ok", true}});
  } else if (what == "replies") {
    if (m == "DELETE") {
      std::lock_guard lock(cannedMutex_);
      canned_.clear();
      return replyJson(x, 200, {{"ok", true}});
    }
    if (m == "POST") {
      json wanted = parseBody();
      if (!wanted.is_object() || !wanted.contains("path") || !wanted["path"].is_string() ||
          wanted["path"].get<std::string>().rfind(kAdminPrefix, 0) == 0) {
        return replyJson(x, 400,
                         {{"error", "expected {\"method\", \"path\", \"status\", \"body\"}"}});
      }
      CannedReply reply{wanted.value("status", 200), wanted.value("body", ""),
                        wanted.value("contentType", "text/plain; charset=utf-8")};
      std::lock_guard lock(cannedMutex_);
      canned_[wanted.value("method", "GET") + " " + wanted["path"].get<std::string>()] = reply;
      return replyJson(x, 200, {{"ok", true}});
    }
  }
  replyJson(x, 404, {{"error", kNotFound}});
}

void DevServer::finish(Exchange& x, bool journal) {
  const auto& req = x.req;
  int status = x.dropped ? 0 : x.res.status;
  logLine(req.method + " " + req.path + " query=" + x.query +
          " status=" + (x.dropped ? std::string("dropped") : std::to_string(status)) +
          " body=" + std::to_string(x.bodyLength));
  if (!journal) return;
  json headers = json::array();
  for (const auto& [name, value] : req.headers) {
    // cpp-httplib adds these itself; they did not come from the client.
    if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
        name == "LOCAL_PORT") {
      continue;
    }
    headers.push_back({name, value});
  }
  json entry = {{"method", req.method}, {"path", req.path},     {"resource", x.resource},
                {"query", x.query},     {"headers", headers},   {"bodyLength", x.bodyLength},
                {"status", status},     {"dropped", x.dropped}, {"user", x.user}};
  if (x.keepBodyText && x.bodyRead && x.body.size() <= kJournalBodyLimit &&
      static_cast<int64_t>(x.body.size()) == x.bodyLength) {
    entry["body"] = x.body;
  }
  journal_.record(std::move(entry));
}

}  // namespace quillbox::devserver
