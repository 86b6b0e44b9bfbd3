// ServiceReply: a JSON reply of the service's upload resources, read leniently.
//
// The reply text is parsed as a JSON object; no text, text that does not parse
// or that is not an object reads as an object without members, so that every
// look-up simply finds nothing. Immutable after construction; safe to share
// between threads.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace quillbox {

class ServiceReply {
 public:
  explicit ServiceReply(const std::optional<std::string>& text);

  // A member as text: a string as it is, an integer in decimal, anything else
  // (but null) as its JSON text; nullopt when absent or null.
  std::optional<std::string> text(const char* key) const;
  // "length": a whole, non-negative number (a text of up to 18 digits is
  // accepted too); nullopt otherwise.
  std::optional<int64_t> length() const;

 private:
  nlohmann::json object_;
};

}  // namespace quillbox
