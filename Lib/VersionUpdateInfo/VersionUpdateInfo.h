// VersionUpdateInfo: asks the update server whether a newer release exists.
//
// One GET of checkUrl() with the widget's version (the
// "CFBundleShortVersionString" of the widget bundle's Info.plist) and the
// system version; the reply is deciphered (JNIOperate) and scanned for the
// "Version0=" and "UpdateURL0=" entries. The server alone decides whether to
// announce: nothing is compared here. Each check writes one log line saying
// what happened (result() and resultText()). An object serves one check on
// one thread; several objects may check at once on different threads.
#pragma once

#include <string>

namespace quillbox {

class VersionUpdateInfo {
 public:
  // The key string the reply is deciphered with.
  static constexpr const char* kDecipherKey = "Keep going,Stay brave!";
  // The product key sent as "licensekey": the package the widget belongs to.
  static constexpr const char* kLicenseKey = "com.velmor.quillbox.server";
  static constexpr int kTimeoutSeconds = 8;
  static constexpr const char* kCheckPath = "/pages/check/updateini.aspx";
  // The check URL when neither QUILLBOX_UPDATE_URL nor an API base names one.
  static constexpr const char* kDefaultCheckUrl =
      "https://127.0.0.1:8443/pages/check/updateini.aspx";

  // What a check came to.
  enum class Result {
    Announced,      // the reply holds "Version0="
    NoUpdate,       // a reply that deciphered, without "Version0="
    Unreachable,    // no HTTP reply (no server, refused connection, TLS, time-out)
    Refused,        // an HTTP status outside 2xx
    NotEnciphered,  // a 2xx body that is not what the server enciphers
  };

  // QUILLBOX_UPDATE_URL; without it, the client's service (the scheme, host
  // and port of the API base in "com.velmor.loacal.plist") with kCheckPath;
  // without that, kDefaultCheckUrl.
  static std::string checkUrl();

  // Runs the check: true when the server announced a version (an empty one
  // counts). Fills the three strings. Blocks the calling thread for the request
  // (8 s at most); a failed request, an undecipherable reply or one without a
  // "Version0=" entry gives false.
  bool getVersionUpdateInfo();

  // What the last getVersionUpdateInfo() came to, and in words:
  // "version V announced (U)", "no update announced", "unreachable (REASON)",
  // "refused (STATUS)", "not enciphered as expected (REASON)".
  Result result() const { return result_; }
  const std::string& resultText() const { return resultText_; }

  // The request URL for the current strNowVersionl() and system version.
  std::string requestUrl() const;

  // Scans a deciphered reply: true when it holds "Version0="; sets
  // strNewVersion (and strDownUrl from a following "UpdateURL0=", "" when
  // there is none). Each value runs to the next "\r\n" or to the end.
  bool readReply(const std::string& plaintext);

  const std::string& strNowVersionl() const { return strNowVersionl_; }
  const std::string& strNewVersion() const { return strNewVersion_; }
  const std::string& strDownUrl() const { return strDownUrl_; }

 private:
  std::string strNowVersionl_;
  std::string strNewVersion_;
  std::string strDownUrl_;
  Result result_ = Result::Unreachable;
  std::string resultText_;
};

}  // namespace quillbox
