#include "base64/NSStringToBase64.h"

#include "PropertyList/Utf8.h"
#include "base64/Base64.h"

namespace quillbox {
namespace {
std::optional<std::string> asText(std::optional<std::string> bytes) {
  if (!bytes || !Utf8::isValid(*bytes)) return std::nullopt;
  return bytes;
}
}  // namespace

std::string NSStringToBase64::encodeBase64(std::string_view text) {
  return Base64::encode(text, Base64::Alphabet::Standard);
}

std::optional<std::string> NSStringToBase64::decodeBase64(std::string_view text) {
  return asText(Base64::decode(text, Base64::Alphabet::Standard));
}

std::string NSStringToBase64::webSafeEncodeBase64(std::string_view text) {
  return Base64::encode(text, Base64::Alphabet::UrlSafe);
}

std::optional<std::string> NSStringToBase64::webSafeDecodeBase64(std::string_view text) {
  return asText(Base64::decode(text, Base64::Alphabet::UrlSafe));
}

std::optional<std::string> NSStringToBase64::dataByDecodeBase64(std::string_view text) {
  return Base64::decode(text, Base64::Alphabet::Standard);
}

}  // namespace quillbox
