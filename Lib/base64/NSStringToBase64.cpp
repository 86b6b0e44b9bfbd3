#include "base64/NSStringToBase64.h"

#include "Platform/Base64.h"
#include "Platform/Utf8.h"

namespace quillbox {
namespace {
std::optional<std::string> asText(std::optional<std::string> bytes) {
  if (!bytes || !platform::Utf8::isValid(*bytes)) return std::nullopt;
  return bytes;
}
}  // namespace

std::string NSStringToBase64::encodeBase64(std::string_view text) {
  return platform::Base64::encode(text, platform::Base64::Alphabet::Standard);
}

std::optional<std::string> NSStringToBase64::decodeBase64(std::string_view text) {
  return asText(platform::Base64::decode(text, platform::Base64::Alphabet::Standard));
}

std::string NSStringToBase64::webSafeEncodeBase64(std::string_view text) {
  return platform::Base64::encode(text, platform::Base64::Alphabet::UrlSafe);
}

std::optional<std::string> NSStringToBase64::webSafeDecodeBase64(std::string_view text) {
  return asText(platform::Base64::decode(text, platform::Base64::Alphabet::UrlSafe));
}

std::optional<std::string> NSStringToBase64::dataByDecodeBase64(std::string_view text) {
  return platform::Base64::decode(text, platform::Base64::Alphabet::Standard);
}

}  // namespace quillbox
