#include "UpdateAnnouncer.h"

#include <httplib.h>
#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "FormBody.h"
#include "Text/Hex.h"
#include "base64/Base64.h"

namespace quillbox::devserver {
namespace {

using nlohmann::json;

std::string upperMd5(const std::string& text) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(text.data(), text.size(), md, &len, EVP_md5(), nullptr);
  return Hex::encode(md, len, true);
}

// The leading number of each dotted part ("2b" reads 2, "" reads 0).
std::vector<long> parts(const std::string& v) {
  std::vector<long> out;
  size_t i = 0;
  while (i <= v.size()) {
    size_t dot = v.find('.', i);
    if (dot == std::string::npos) dot = v.size();
    long n = 0;
    for (size_t k = i; k < dot && v[k] >= '0' && v[k] <= '9' && n < 100000000; ++k)
      n = n * 10 + (v[k] - '0');
    out.push_back(n);
    i = dot + 1;
  }
  return out;
}

void reply(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(body.dump(), "application/json; charset=utf-8");
}

}  // namespace

bool UpdateAnnouncer::applyFlag(const std::string& text, std::string* error) {
  size_t comma = text.find(',');
  std::string version = text.substr(0, comma);
  if (version.empty()) {
    *error = "--announce-update needs VERSION or VERSION,URL";
    return false;
  }
  announce(version, comma == std::string::npos ? kDefaultUrl : text.substr(comma + 1));
  return true;
}

void UpdateAnnouncer::announce(std::string version, std::string url) {
  std::lock_guard lock(mutex_);
  version_ = std::move(version);
  url_ = std::move(url);
}

void UpdateAnnouncer::announceNone() {
  std::lock_guard lock(mutex_);
  version_.reset();
  url_.clear();
}

bool UpdateAnnouncer::isNewer(const std::string& a, const std::string& b) {
  std::vector<long> x = parts(a), y = parts(b);
  size_t n = std::max(x.size(), y.size());
  x.resize(n, 0);
  y.resize(n, 0);
  return x > y;
}

std::string UpdateAnnouncer::encipher(const std::string& keyString, const std::string& plaintext) {
  const std::string key = upperMd5(keyString);  // 32 ASCII bytes: an AES-256 key as it stands
  const unsigned char iv[16] = {};
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      EVP_CIPHER_CTX_free);
  std::vector<unsigned char> out(plaintext.size() + 32);
  int n = 0, last = 0;
  if (!ctx ||
      EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr,
                         reinterpret_cast<const unsigned char*>(key.data()), iv) != 1 ||
      EVP_EncryptUpdate(ctx.get(), out.data(), &n,
                        reinterpret_cast<const unsigned char*>(plaintext.data()),
                        static_cast<int>(plaintext.size())) != 1 ||
      EVP_EncryptFinal_ex(ctx.get(), out.data() + n, &last) != 1) {
    return {};
  }
  out.resize(static_cast<size_t>(n) + static_cast<size_t>(last));
  return Base64::encode(std::string_view(reinterpret_cast<const char*>(out.data()), out.size()),
                        Base64::Alphabet::Standard);
}

void UpdateAnnouncer::answerCheck(const FormBody& query, httplib::Response& res) const {
  std::string plaintext;
  {
    std::lock_guard lock(mutex_);
    const std::string installed = query.value("version");
    if (version_ && (installed.empty() || isNewer(*version_, installed))) {
      plaintext = "Version0=" + *version_ + "\r\nUpdateURL0=" + url_ + "\r\n";
    }
  }
  res.status = 200;
  res.set_content(encipher(kKeyString, plaintext), "text/plain; charset=utf-8");
}

void UpdateAnnouncer::answerAdmin(const std::string& method, const std::string& body,
                                  httplib::Response& res) {
  if (method == "DELETE") {
    announceNone();
  } else if (method == "POST") {
    json wanted = json::parse(body, nullptr, false);
    if (!wanted.is_object() || !wanted.contains("version") || !wanted["version"].is_string() ||
        wanted["version"].get<std::string>().empty() ||
        (wanted.contains("url") && !wanted["url"].is_string())) {
      return reply(res, 400, {{"error", "expected {\"version\": V, \"url\": U}"}});
    }
    announce(wanted["version"].get<std::string>(), wanted.value("url", kDefaultUrl));
  } else if (method != "GET") {
    return reply(res, 405, {{"error", "GET, POST or DELETE"}});
  }
  std::lock_guard lock(mutex_);
  reply(res, 200, {{"version", version_ ? json(*version_) : json(nullptr)}, {"url", url_}});
}

}  // namespace quillbox::devserver
