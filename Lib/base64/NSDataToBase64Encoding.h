// NSDataToBase64Encoding: Base64 of binary data.
//
// Encodes with the URL-safe alphabet ("-", "_") and decodes the standard one
// ("+", "/"), both padded with "="; the two are therefore not inverses for data
// whose encoding holds "-" or "_". Stateless; safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillbox {

class NSDataToBase64Encoding {
 public:
  // URL-safe Base64 of the bytes, padded, without line breaks.
  static std::string encodeBase64(std::string_view bytes);
  // The bytes of standard-alphabet Base64 text; nullopt for invalid text or
  // text that decodes to nothing.
  static std::optional<std::string> decodeBase64(std::string_view text);
};

}  // namespace quillbox
