#include "base64/NSStringToBase64.h"

#include <cstdint>

#include "base64/Base64.h"

namespace quillbox {
namespace {
std::optional<std::string> asText(std::optional<std::string> bytes) {
  if (!bytes || !NSStringToBase64::isValidUtf8(*bytes)) return std::nullopt;
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

bool NSStringToBase64::isValidUtf8(std::string_view bytes) {
  size_t i = 0;
  const size_t n = bytes.size();
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    size_t len;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      unsigned char cc = static_cast<unsigned char>(bytes[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF aren't UTF-8.
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
        (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
      return false;
    }
    i += len;
  }
  return true;
}

}  // namespace quillbox
