#include "base64/NSDataToBase64Encoding.h"

#include "Platform/Base64.h"

namespace quillbox {

std::string NSDataToBase64Encoding::encodeBase64(std::string_view bytes) {
  return platform::Base64::encode(bytes, platform::Base64::Alphabet::UrlSafe);
}

std::optional<std::string> NSDataToBase64Encoding::decodeBase64(std::string_view text) {
  return platform::Base64::decode(text, platform::Base64::Alphabet::Standard);
}

}  // namespace quillbox
