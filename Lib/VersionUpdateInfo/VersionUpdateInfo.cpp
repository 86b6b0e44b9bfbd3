#include "VersionUpdateInfo/VersionUpdateInfo.h"

#include <optional>
#include <string_view>

#include "Platform/Files/PropertyList.h"
#include "Platform/Net/HttpClient.h"
#include "Platform/Process/Environment.h"
#include "Text/PercentEncoding.h"
#include "VersionUpdateInfo/JNIOperate.h"

namespace quillbox {

using platform::Environment;

namespace {

// A text scanner that skips white space and line breaks before each step,
// as the reply format expects.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  // Moves to the next `target` (or to the end); true when it moved.
  bool scanUpTo(std::string_view target) { return take(target).has_value(); }
  // The text from here up to the next `target` (or the end); nullopt when
  // that is empty.
  std::optional<std::string_view> take(std::string_view target) {
    skipWhiteSpace();
    size_t end = text_.find(target, pos_);
    if (end == std::string_view::npos) end = text_.size();
    if (end == pos_) return std::nullopt;
    std::string_view taken = text_.substr(pos_, end - pos_);
    pos_ = end;
    return taken;
  }

 private:
  void skipWhiteSpace() {
    while (pos_ < text_.size() && isWhiteSpace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
  }
  static bool isWhiteSpace(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
  }

  std::string_view text_;
  size_t pos_ = 0;
};

// The value after `key`: its "=" and what follows up to "\r\n", without the "=".
std::optional<std::string> valueOf(Scanner& s, std::string_view key) {
  s.scanUpTo(key);
  s.scanUpTo("=");
  auto taken = s.take("\r\n");
  if (!taken) return std::nullopt;
  return std::string(taken->substr(1));
}

// Query values go in as they are; only characters that would end or break the
// query (space, "&", "#", "+", controls, non-ASCII ...) are percent-escaped.
std::string queryValue(std::string_view v) {
  return PercentEncoding::encode(v, "-._~,:/()");
}

}  // namespace

std::string VersionUpdateInfo::requestUrl() const {
  return Environment::updateUrl() + "?licensekey=" + queryValue(kLicenseKey) +
         "&orgKey=&version=" + queryValue(strNowVersionl_) + "&ip=&osversion=iOS" +
         queryValue(Environment::systemVersion());
}

bool VersionUpdateInfo::readReply(const std::string& plaintext) {
  Scanner s(plaintext);
  auto version = valueOf(s, "Version0=");
  if (!version) return false;
  strNewVersion_ = *version;
  strDownUrl_ = valueOf(s, "UpdateURL0=").value_or("");
  return true;
}

bool VersionUpdateInfo::getVersionUpdateInfo() {
  auto info = platform::PropertyList::readDictionary(Environment::weeAppBundle() + "/Info.plist");
  // A missing version is sent as an empty one; the server still answers.
  strNowVersionl_ = info.getString("CFBundleShortVersionString");

  platform::HttpRequest request;
  request.url = requestUrl();
  request.timeoutSeconds = kTimeoutSeconds;
  platform::HttpResponse response = platform::HttpClient::Default().send(request);
  // Only a successful reply carries an announcement.
  std::string body =
      response.status >= 200 && response.status < 300 ? std::move(response.body) : std::string();
  return readReply(JNIOperate::decryptCipherWithKey(kDecipherKey, body));
}

}  // namespace quillbox
