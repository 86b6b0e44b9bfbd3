// NSStringToBase64: Base64 of texts, with the text's UTF-8 bytes as the binary side.
//
// All encodings are padded and carry no line breaks. The decoders give nullopt
// for text that isn't valid Base64 of their alphabet or decodes to nothing; the
// text forms also give nullopt when the bytes aren't valid UTF-8. Stateless;
// safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillbox {

class NSStringToBase64 {
 public:
  // Standard alphabet ("+", "/").
  static std::string encodeBase64(std::string_view text);
  static std::optional<std::string> decodeBase64(std::string_view text);
  // URL-safe alphabet ("-", "_").
  static std::string webSafeEncodeBase64(std::string_view text);
  static std::optional<std::string> webSafeDecodeBase64(std::string_view text);
  // Standard alphabet, the decoded bytes as they are (no UTF-8 check).
  static std::optional<std::string> dataByDecodeBase64(std::string_view text);
};

}  // namespace quillbox
