#include "base64/Base64.h"

#include <array>
#include <cstdint>

namespace quillbox {
namespace {

const char kStandard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kUrlSafe[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

using DecodeTable = std::array<int8_t, 256>;

DecodeTable makeTable(const char* alphabet) {
  DecodeTable t;
  t.fill(-1);
  for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(alphabet[i])] = static_cast<int8_t>(i);
  return t;
}

const DecodeTable& tableOf(Base64::Alphabet a) {
  static const DecodeTable standard = makeTable(kStandard);
  static const DecodeTable urlSafe = makeTable(kUrlSafe);
  return a == Base64::Alphabet::Standard ? standard : urlSafe;
}

}  // namespace

std::string Base64::encode(std::string_view bytes, Alphabet alphabet) {
  const char* digits = alphabet == Alphabet::Standard ? kStandard : kUrlSafe;
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t n = bytes.size();
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    uint32_t v = (uint32_t{p[i]} << 16) | (uint32_t{p[i + 1]} << 8) | p[i + 2];
    out += digits[(v >> 18) & 63];
    out += digits[(v >> 12) & 63];
    out += digits[(v >> 6) & 63];
    out += digits[v & 63];
  }
  if (n - i == 1) {
    uint32_t v = uint32_t{p[i]} << 16;
    out += digits[(v >> 18) & 63];
    out += digits[(v >> 12) & 63];
    out += "==";
  } else if (n - i == 2) {
    uint32_t v = (uint32_t{p[i]} << 16) | (uint32_t{p[i + 1]} << 8);
    out += digits[(v >> 18) & 63];
    out += digits[(v >> 12) & 63];
    out += digits[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::optional<std::string> Base64::decode(std::string_view text, Alphabet alphabet) {
  if (text.empty() || text.size() % 4 != 0) return std::nullopt;
  const DecodeTable& table = tableOf(alphabet);
  size_t pad = 0;
  if (text.back() == '=') pad = (text[text.size() - 2] == '=') ? 2 : 1;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const size_t padHere = last ? pad : 0;
    uint32_t v = 0;
    for (size_t j = 0; j < 4; ++j) {
      unsigned char c = static_cast<unsigned char>(text[i + j]);
      int8_t d;
      if (j >= 4 - padHere) {
        d = 0;  // a padding position, checked to be "=" by the count above
      } else {
        d = table[c];
        if (d < 0) return std::nullopt;  // "=" in the middle lands here too
      }
      v = (v << 6) | static_cast<uint32_t>(d);
    }
    out += static_cast<char>((v >> 16) & 0xff);
    if (padHere < 2) out += static_cast<char>((v >> 8) & 0xff);
    if (padHere < 1) out += static_cast<char>(v & 0xff);
  }
  if (out.empty()) return std::nullopt;
  return out;
}

}  // namespace quillbox
