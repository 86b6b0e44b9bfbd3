// TimeStampAuthority: the reference service's RFC 3161 time-stamp authority.
//
// Answers DER time-stamp requests (application/timestamp-query) with DER
// replies (application/timestamp-reply) made by OpenSSL's TS API and signed
// with a certificate whose extended key usage is critically timeStamping. That
// certificate is issued by a root of its own, kept with the keys in the data
// folder: tsa-root.pem is what clients trust (QUILLBOX_TSA_CA_FILE). SHA-256,
// SHA-384 and SHA-512 imprints are accepted; anything else gets a rejection.
//
// Thread-safety: reply() may be called from any number of threads at once.
#pragma once

#include <memory>
#include <string>

namespace quillbox::devserver {

class TimeStampAuthority {
 public:
  // The path it answers at, outside the API base.
  static constexpr const char* kPath = "/tsa";
  static constexpr const char* kRootFile = "tsa-root.pem";
  static constexpr const char* kCertFile = "tsa-cert.pem";
  static constexpr const char* kKeyFile = "tsa-key.pem";

  ~TimeStampAuthority();
  TimeStampAuthority(const TimeStampAuthority&) = delete;
  TimeStampAuthority& operator=(const TimeStampAuthority&) = delete;

  // The authority kept in `dir`, generating the root, the signing certificate
  // and their keys (owner-only) first when any file is missing. nullptr with
  // `error` when they can't be made or read. REQUIRES: `dir` exists.
  static std::unique_ptr<TimeStampAuthority> ensureIn(const std::string& dir, std::string* error);

  // The DER TimeStampResp to the DER request `query`: granted, or a rejection
  // (bad data format, unsupported algorithm) that names why. Empty only when
  // OpenSSL can't make any reply.
  std::string reply(const std::string& query) const;

  const std::string& rootPath() const { return rootPath_; }

 private:
  struct Keys;
  TimeStampAuthority();
  std::unique_ptr<Keys> keys_;
  std::string rootPath_;
};

}  // namespace quillbox::devserver
