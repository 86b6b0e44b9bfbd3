// RequestResult: what a request of the quillbox service gives back.
//
// `code` is the HTTP status, 0 when no HTTP response arrived (transport error,
// time-out, failed TLS verification). `respone` is the reply body when it is
// present and valid UTF-8, otherwise absent; callers treat absent and empty
// alike. Plain value type.
#pragma once

#include <optional>
#include <string>

namespace quillbox {

struct RequestResult {
  int code = 0;
  std::optional<std::string> respone;
  // Not of the reply: why no HTTP response arrived (code 0), for messages.
  std::string transportError = {};
  bool tlsFailure = false;
};

}  // namespace quillbox

namespace quillbox {

// What the cookie-authenticated string POST gives back: `code` as in
// RequestResult, `respone` the raw reply bytes (not decoded), absent when no
// HTTP response arrived.
struct RequestDataResult {
  int code = 0;
  std::optional<std::string> respone;
};

}  // namespace quillbox
