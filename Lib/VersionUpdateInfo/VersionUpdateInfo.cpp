#include "VersionUpdateInfo/VersionUpdateInfo.h"

#include <optional>
#include <string_view>

#include "Platform/Files/PropertyList.h"
#include "Platform/Net/HttpClient.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "Request/Z_Request.h"
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

// "scheme://authority" of an http or https URL; "" for anything else.
std::string originOf(const std::string& url) {
  size_t sep = url.find("://");
  if (sep == std::string::npos) return {};
  const std::string scheme = url.substr(0, sep);
  if (scheme != "http" && scheme != "https") return {};
  size_t end = url.find_first_of("/?#", sep + 3);
  if (end == std::string::npos) end = url.size();
  if (end == sep + 3) return {};
  return url.substr(0, end);
}

const char kCheckLog[] = "VersionUpdateInfo: %s: %s";

}  // namespace

std::string VersionUpdateInfo::checkUrl() {
  std::string url = Environment::updateUrl();
  if (!url.empty()) return url;
  // The reference service answers the check beside its API, so the client's
  // own service is the first place to ask.
  std::string origin = originOf(Z_Request::apiBaseURL());
  return origin.empty() ? std::string(kDefaultCheckUrl) : origin + kCheckPath;
}

std::string VersionUpdateInfo::requestUrl() const {
  return checkUrl() + "?licensekey=" + queryValue(kLicenseKey) +
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
  const bool replied = response.status >= 200 && response.status < 300;
  // Only a successful reply carries an announcement.
  JNIOperate::Deciphered plain =
      JNIOperate::decipher(kDecipherKey, replied ? response.body : std::string());
  const bool announced = readReply(plain.text);

  if (announced) {
    result_ = Result::Announced;
    resultText_ = "version " + strNewVersion_ + " announced (" + strDownUrl_ + ")";
  } else if (response.status == 0) {
    result_ = Result::Unreachable;
    resultText_ = "unreachable (" + (response.error.empty() ? "no reply" : response.error) + ")";
  } else if (!replied) {
    result_ = Result::Refused;
    resultText_ = "refused (" + std::to_string(response.status) + ")";
  } else if (plain.status != JNIOperate::Status::Deciphered) {
    result_ = Result::NotEnciphered;
    resultText_ =
        std::string("not enciphered as expected (") + JNIOperate::describe(plain.status) + ")";
  } else {
    result_ = Result::NoUpdate;
    resultText_ = "no update announced";
  }
  platform::Log::printf(kCheckLog, request.url.c_str(), resultText_.c_str());
  return announced;
}

}  // namespace quillbox
