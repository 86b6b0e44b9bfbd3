// VersionUpdateInfo: asks the update server whether a newer release exists.
//
// One GET of Environment::updateUrl() with the widget's version (the
// "CFBundleShortVersionString" of the widget bundle's Info.plist) and the
// system version; the reply is deciphered (JNIOperate) and scanned for the
// "Version0=" and "UpdateURL0=" entries. The server alone decides whether to
// announce: nothing is compared here. An object serves one check on one
// thread; several objects may check at once on different threads.
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

  // Runs the check: true when the server announced a version (an empty one
  // counts). Fills the three strings. Blocks the calling thread for the request
  // (8 s at most); a failed request, an undecipherable reply or one without a
  // "Version0=" entry gives false.
  bool getVersionUpdateInfo();

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
};

}  // namespace quillbox
