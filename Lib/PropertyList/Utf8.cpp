#include "PropertyList/Utf8.h"

#include <cstdint>
#include <cstring>

namespace quillbox {

bool Utf8::isValid(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  while (p < end) {
    // Eight ASCII bytes at a time: most texts here (plists, replies) are ASCII.
    while (end - p >= 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      if (w & 0x8080808080808080ULL) break;
      p += 8;
    }
    if (p >= end) break;
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    uint32_t cp;
    const size_t n = decode(p, end, cp);
    if (n == 0) return false;
    p += n;
  }
  return true;
}

size_t Utf8::decode(const unsigned char* p, const unsigned char* end, uint32_t& cp) {
  if (p >= end) return 0;
  const unsigned char c = *p;
  size_t n;  // continuation bytes
  if (c < 0x80) {
    cp = c;
    return 1;
  }
  if (c >= 0xC2 && c <= 0xDF) {  // 0xC0 and 0xC1 only ever start overlong forms
    n = 1, cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 2, cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 3, cp = c & 0x07;
  } else {
    return 0;
  }
  if (static_cast<size_t>(end - p) <= n) return 0;
  for (size_t i = 1; i <= n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return n + 1;
}

}  // namespace quillbox
