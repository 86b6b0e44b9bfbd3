#include "base64/NSDataToBase64Encoding.h"

#include "base64/Base64.h"

namespace quillbox {

std::string NSDataToBase64Encoding::encodeBase64(std::string_view bytes) {
  return Base64::encode(bytes, Base64::Alphabet::UrlSafe);
}

std::optional<std::string> NSDataToBase64Encoding::decodeBase64(std::string_view text) {
  return Base64::decode(text, Base64::Alphabet::Standard);
}

}  // namespace quillbox
