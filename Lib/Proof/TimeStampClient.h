// TimeStampClient: RFC 3161 time stamps over the SHA-256 of evidence files.
//
// A request carries the SHA-256 imprint, a random 64-bit nonce and asks for
// the authority's certificate. It is POSTed as "application/timestamp-query"
// through platform::HttpClient (https anywhere, plain http to loopback only).
// A reply is accepted only when its status is granted, its token carries the
// same imprint and nonce, and the token's signature chains, through a
// certificate whose critical extended key usage is timeStamping, to the roots
// in QUILLBOX_TSA_CA_FILE (when set) or to the system's trust store.
//
// Stateless; every operation may be called from any thread. stamp() blocks
// for the round trip (at most kTimeoutSeconds).
#pragma once

#include <string>
#include <string_view>

namespace quillbox {

class TimeStampClient {
 public:
  static constexpr int kTimeoutSeconds = 30;

  enum class Outcome {
    Granted,      // `reply` holds the checked TimeStampResp (DER)
    Unreachable,  // no reply: no route, refused or dropped connection, time-out
    Refused,      // a reply that isn't a checked, granted stamp (see `error`)
    Unusable,     // the URL or the trust roots can't be used (see `error`)
  };
  struct Result {
    Outcome outcome = Outcome::Unusable;
    std::string reply;
    std::string genTime;  // the authority's time, ISO 8601 UTC, when granted
    std::string error;
  };

  // Asks the authority at `url` for a time stamp over `sha256` (32 raw bytes),
  // waiting at most `timeoutSeconds` for the whole round trip.
  static Result stamp(const std::string& url, std::string_view sha256,
                      int timeoutSeconds = kTimeoutSeconds);
  // The TimeStampToken (DER) of a granted reply; "" when there is none.
  static std::string tokenOf(std::string_view reply);

  struct Check {
    bool ok = false;
    std::string genTime;  // ISO 8601 UTC when the token could be read
    std::string error;
  };
  // Checks a stored reply (TimeStampResp DER): status granted, imprint equal
  // to SHA-256 `sha256` (32 raw bytes), signature chaining to the trusted
  // roots (as above). No nonce is checked: it was checked when it arrived.
  static Check verify(std::string_view reply, std::string_view sha256);
  // The same checks of a TimeStampToken (DER) on its own.
  static Check verifyToken(std::string_view token, std::string_view sha256);

  // The roots a time stamp must chain to: the file named by
  // QUILLBOX_TSA_CA_FILE, or "" for the system's trust store.
  static std::string trustedRootsFile();
};

}  // namespace quillbox
