// Certificate: the self-signed TLS certificate and key of the development server.
//
// The certificate is its own certificate authority (basic constraints CA:TRUE)
// and names 127.0.0.1, localhost and ::1, so a client can trust it by passing the
// certificate file as its CA file. Not thread-safe; used once at start-up.
#pragma once

#include <optional>
#include <string>

namespace quillbox::devserver {

class Certificate {
 public:
  static constexpr const char* kCertFile = "cert.pem";
  static constexpr const char* kKeyFile = "key.pem";

  // Gives the certificate kept in `dir` (cert.pem and key.pem), generating an
  // EC P-256 key and a ten-year certificate first when either file is missing.
  // The key file is readable by its owner only. nullopt (with `error` set) when
  // the files can't be made.
  // REQUIRES: `dir` exists.
  static std::optional<Certificate> ensureIn(const std::string& dir, std::string* error);

  const std::string& certPath() const { return certPath_; }
  const std::string& keyPath() const { return keyPath_; }

 private:
  std::string certPath_;
  std::string keyPath_;
};

}  // namespace quillbox::devserver
