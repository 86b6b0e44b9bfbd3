// UpdateAnnouncer: the update server's side of the widget's update check.
//
// GET /pages/check/updateini.aspx?licensekey=..&version=..&osversion=.. is
// answered with the base64 text of an AES-256-CBC ciphertext (OpenSSL; key:
// the 32 ASCII characters of the upper-case MD5 of kKeyString, zero IV,
// PKCS #7). Its plaintext is "Version0=V\r\nUpdateURL0=U\r\n" when a version V
// is announced and the query's `version` is empty or older than V (dotted
// numbers compared part by part); otherwise the empty plaintext.
//
// What is announced is set at start (--announce-update VERSION[,URL]) and at
// run time through the admin endpoint /__admin/update:
//   GET     {"version": V, "url": U} or {"version": null}
//   POST    {"version": V, "url": U}  ("url" optional: kDefaultUrl)
//   DELETE  announce nothing
// Safe for concurrent use from any thread.
#pragma once

#include <mutex>
#include <optional>
#include <string>

namespace httplib {
struct Response;
}

namespace quillbox::devserver {

class FormBody;

class UpdateAnnouncer {
 public:
  static constexpr const char* kCheckPath = "/pages/check/updateini.aspx";
  static constexpr const char* kKeyString = "Keep going,Stay brave!";
  static constexpr const char* kDefaultUrl = "cydia://package/com.velmor.quillbox.server";

  // "VERSION" or "VERSION,URL". false with `error` when VERSION is empty.
  bool applyFlag(const std::string& text, std::string* error);
  void announce(std::string version, std::string url);
  void announceNone();

  // Answers a check with these query fields.
  void answerCheck(const FormBody& query, httplib::Response& res) const;
  // Answers an admin request to /__admin/update.
  void answerAdmin(const std::string& method, const std::string& body, httplib::Response& res);

  // Base64 of the AES-256-CBC ciphertext of `plaintext` under `keyString`.
  static std::string encipher(const std::string& keyString, const std::string& plaintext);
  // True when dotted version `a` is newer than `b` ("1.0.10" > "1.0.9" > "1.0").
  static bool isNewer(const std::string& a, const std::string& b);

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> version_;
  std::string url_;
};

}  // namespace quillbox::devserver
