#include "LegacyService.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "ServerText.h"
#include "base64/Base64.h"

namespace quillbox::devserver {
namespace {

constexpr int64_t kSpaceTotal = 10LL * 1024 * 1024 * 1024;
// Fields of the message form that are not kept among the file's other fields.
const char* const kMessageOwnFields[] = {"service", "name",   "ftype",    "file0Len",
                                         "hfile0c", "format", "smallImg", "middleImg"};

std::string element(const char* name, const std::string& text) {
  return std::string("<") + name + ">" + xmlEscape(text) + "</" + name + ">";
}

LegacyService::Reply error(int status, const std::string& type, const std::string& message) {
  return {status,
          "<errorResult>" + element("type", type) + element("message", message) + "</errorResult>",
          "", ""};
}

// The value of one cookie of the request, without its double quotes.
std::optional<std::string> cookieValue(const httplib::Request& req, const std::string& name) {
  for (size_t i = 0, n = req.get_header_value_count("Cookie"); i < n; ++i) {
    std::string header = req.get_header_value("Cookie", i);
    size_t at = 0;
    while (at <= header.size()) {
      size_t end = header.find(';', at);
      std::string pair = header.substr(at, end == std::string::npos ? std::string::npos : end - at);
      at = end == std::string::npos ? header.size() + 1 : end + 1;
      size_t first = pair.find_first_not_of(' ');
      if (first == std::string::npos) continue;
      pair = pair.substr(first);
      size_t eq = pair.find('=');
      if (eq == std::string::npos || pair.substr(0, eq) != name) continue;
      std::string value = pair.substr(eq + 1);
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
      return value;
    }
  }
  return std::nullopt;
}

std::string fileResult(const std::string& id, int64_t held, int64_t declared) {
  return std::string("<result>") + element("type", "0") + element("message", kOk) +
         element("id", id) + element("isComplete", held == declared ? "true" : "false") +
         element("realLength", std::to_string(held)) + "</result>";
}

}  // namespace

LegacyService::LegacyService(FileStore& files, SessionTokens& tokens, const UserDirectory& users)
    : files_(files), tokens_(tokens), users_(users) {}

bool LegacyService::isStream(const FormBody& query) {
  return query.value("service") == kStreamService;
}

std::optional<LegacyService::Reply> LegacyService::serveForm(const FormBody& form,
                                                             const httplib::Request& req) {
  const std::string service = form.value("service");
  if (service == "login") return login(form);
  if (service == "uploadPlainFileMessage") return message(form, req);
  if (service == "initialization") return initialization(req);
  return std::nullopt;
}

std::optional<std::string> LegacyService::sessionUser(const httplib::Request& req,
                                                      Reply* refusal) const {
  const std::string value = req.get_header_value("Authorization");
  const std::string scheme = "OAuth2 ";
  auto user =
      value.rfind(scheme, 0) == 0 ? tokens_.userOf(value.substr(scheme.size())) : std::nullopt;
  if (!user) {
    *refusal = error(401, "5", kBadToken);
    return std::nullopt;
  }
  auto cookie = cookieValue(req, kCookieName);
  std::lock_guard lock(mutex_);
  auto it = cookie ? cookies_.find(*cookie) : cookies_.end();
  if (it == cookies_.end() || it->second != *user) {
    *refusal = error(401, "7", kBadCookie);
    refusal->user = *user;
    return std::nullopt;
  }
  return user;
}

LegacyService::Reply LegacyService::login(const FormBody& form) {
  for (const char* field : {"userName", "password"}) {
    if (form.value(field).empty())
      return error(400, "3", std::string(kMissingField) + ": " + field);
  }
  const std::string name = form.value("userName");
  const User* user = users_.findByName(name);
  if (!user || lower(form.value("password")) != sha1Hex(user->password + name))
    return error(401, "1", kWrongPassword);
  unsigned char random[16];
  RAND_bytes(random, sizeof random);
  // Standard Base64 of 16 bytes ends in "==": clients must quote it.
  std::string cookie =
      Base64::encode(std::string_view(reinterpret_cast<const char*>(random), sizeof random),
                     Base64::Alphabet::Standard);
  {
    std::lock_guard lock(mutex_);
    cookies_[cookie] = name;
  }
  std::string token = tokens_.issue(name);
  Reply reply{200,
              std::string("<result>") + element("type", "0") + element("message", kLoginOk) +
                  element("accessToken", token) + element("cookieName", kCookieName) +
                  element("cookieValue", cookie) + element("userName", name) + "</result>",
              name, std::string(kCookieName) + "=\"" + cookie + "\"; Path=/; HttpOnly"};
  return reply;
}

LegacyService::Reply LegacyService::message(const FormBody& form, const httplib::Request& req) {
  // The message goes with the common headers of the request layer: a token,
  // no session cookie.
  const std::string value = req.get_header_value("Authorization");
  auto user = value.rfind("OAuth2 ", 0) == 0 ? tokens_.userOf(value.substr(7)) : std::nullopt;
  if (!user) return error(401, "5", kBadToken);
  for (const char* field : {"name", "ftype", "file0Len", "hfile0c", "format"}) {
    if (form.value(field).empty())
      return error(400, "3", std::string(kMissingField) + ": " + field);
  }
  if (!isDecimal(form.value("ftype"))) return error(400, "3", "ftype must be a decimal number");
  if (!isDecimal(form.value("file0Len")))
    return error(400, "3", "file0Len must be a decimal number");
  if (!isHexDigest40(form.value("hfile0c")))
    return error(400, "3", "hfile0c must be 40 hexadecimal digits");
  if (form.value("format") != "xml") return error(400, "3", "format must be xml");

  FileRecord record;
  record.owner = *user;
  record.name = form.value("name");
  record.type = form.value("ftype");
  record.declaredLength = std::stoll(form.value("file0Len"));
  record.hash = lower(form.value("hfile0c"));
  const std::string key = record.owner + '\n' + record.name + '\n' + record.hash + '\n' +
                          std::to_string(record.declaredLength);
  {
    std::lock_guard lock(mutex_);
    auto known = messages_.find(key);
    if (known != messages_.end()) {
      Reply reply{200,
                  fileResult(known->second, files_.heldLength(known->second).value_or(0),
                             record.declaredLength),
                  *user, ""};
      return reply;
    }
  }
  std::map<std::string, std::string> images;
  for (const auto& [name, text] : form.fields()) {
    if (name == "smallImg" || name == "middleImg") {
      auto bytes = decodeBase64(text);
      if (!bytes) return error(400, "3", name + " is not Base64");
      images[name == "smallImg" ? "small_img" : "middle_img"] = std::move(*bytes);
      continue;
    }
    bool own = false;
    for (const char* f : kMessageOwnFields) own = own || name == f;
    if (!own && !record.fields.contains(name)) record.fields[name] = text;
  }
  const int64_t declared = record.declaredLength;
  auto id = files_.create(std::move(record), images);
  if (!id) return error(500, "8", "cannot store the file");
  {
    std::lock_guard lock(mutex_);
    messages_[key] = *id;
  }
  return {200, fileResult(*id, 0, declared), *user, ""};
}

LegacyService::Reply LegacyService::initialization(const httplib::Request& req) {
  Reply refusal;
  auto name = sessionUser(req, &refusal);
  if (!name) return refusal;
  int64_t used = 0;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [key, id] : messages_)
      if (key.rfind(*name + '\n', 0) == 0) used += files_.heldLength(id).value_or(0);
  }
  const User* user = users_.findByName(*name);
  std::string phones;
  if (user && !user->phone.empty()) {
    phones = std::string("<result>") + element("phone", user->phone) + element("isMain", "1") +
             element("isAuthed", "1") + element("isRecordInSecret", "0") + element("figure", "") +
             element("analog", "0") + "</result>";
  }
  return {200,
          std::string("<result>") + element("type", "0") + element("message", kOk) +
              element("voiceRemainder", "0") + element("balance", "0.00") + element("level", "1") +
              element("spaceTotal", std::to_string(kSpaceTotal)) + element("apple", "0") +
              element("spaceUse", std::to_string(used)) + "<phones>" + phones +
              "</phones></result>",
          *name, ""};
}

LegacyService::Reply LegacyService::serveStream(const FormBody& query, const httplib::Request& req,
                                                const BodyReader& read) {
  auto refuse = [&](Reply reply) {
    read([](const char*, size_t) { return true; });  // read and drop
    return reply;
  };
  Reply refusal;
  auto user = sessionUser(req, &refusal);
  if (!user) return refuse(refusal);
  const std::string id = query.value("id");
  auto record = FileStore::isValidId(id) ? files_.find(id) : std::nullopt;
  if (!record || record->owner != *user) {
    Reply r = error(404, "4", kNoSuchFile);
    r.user = *user;
    return refuse(r);
  }
  // Each chunk goes on at the end of what the file holds.
  FileStore::AppendError appendError;
  int64_t held = files_.heldLength(id).value_or(0);
  auto append = files_.beginAppend(id, held, &appendError, &held);
  if (!append) {
    Reply r = appendError == FileStore::AppendError::kBusy
                  ? error(409, "9", "another upload of this file is running")
                  : error(500, "8", "cannot open the file");
    r.user = *user;
    return refuse(r);
  }
  bool ioError = false;
  bool complete = read([&](const char* data, size_t n) {
    if (!append->write(data, n)) ioError = true;
    return !ioError;
  });
  const int64_t length = append->length();
  const int64_t overflow = append->overflow();
  append.reset();
  Reply reply;
  if (ioError)
    reply = error(500, "8", kCannotWrite);
  else if (!complete)
    reply = error(400, "3", "incomplete body");
  else if (overflow > 0)
    reply = error(400, "3", "body goes past the declared length");
  else
    reply = {200, fileResult(id, length, record->declaredLength), "", ""};
  reply.user = *user;
  return reply;
}

}  // namespace quillbox::devserver
