#include "base64/Base64.h"

#include <array>
#include <cstdint>

namespace quillbox {
namespace {

const char kStandard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kUrlSafe[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

using DecodeTable = std::array<int8_t, 256>;

DecodeTable makeTable(bool standard, bool urlSafe) {
  DecodeTable t;
  t.fill(-1);
  for (int i = 0; i < 64; ++i) {
    if (standard) t[static_cast<unsigned char>(kStandard[i])] = static_cast<int8_t>(i);
    if (urlSafe) t[static_cast<unsigned char>(kUrlSafe[i])] = static_cast<int8_t>(i);
  }
  return t;
}

const DecodeTable& tableOf(Base64::Alphabet a) {
  static const DecodeTable standard = makeTable(true, false);
  static const DecodeTable urlSafe = makeTable(false, true);
  static const DecodeTable either = makeTable(true, true);
  switch (a) {
    case Base64::Alphabet::Standard:
      return standard;
    case Base64::Alphabet::UrlSafe:
      return urlSafe;
    case Base64::Alphabet::Either:
      break;
  }
  return either;
}

bool isWhitespace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Appends the bytes of one group: `acc` holds its sextets, `sextets` of them (2 to 4).
void emit(uint32_t acc, int sextets, std::string& out) {
  acc <<= 6 * (4 - sextets);
  out += static_cast<char>((acc >> 16) & 0xFF);
  if (sextets > 2) out += static_cast<char>((acc >> 8) & 0xFF);
  if (sextets > 3) out += static_cast<char>(acc & 0xFF);
}

}  // namespace

std::string Base64::encode(std::string_view bytes, Alphabet alphabet) {
  const char* digits = alphabet == Alphabet::UrlSafe ? kUrlSafe : kStandard;
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
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
  DecodeOptions strict;
  strict.alphabet = alphabet;
  return decode(text, strict);
}

std::optional<std::string> Base64::decode(std::string_view text, const DecodeOptions& options) {
  const DecodeTable& table = tableOf(options.alphabet);
  std::string out;
  out.reserve(text.size() / 4 * 3);
  uint32_t acc = 0;
  int n = 0;           // characters of the current group, padding included
  int pad = 0;         // "=" in the current group
  bool ended = false;  // a padded group has ended the data
  for (char c : text) {
    if (options.skipWhitespace && isWhitespace(c)) continue;
    if (ended) return std::nullopt;
    if (c == '=') {
      if (n < 2) return std::nullopt;  // a group carries at least two data characters
      ++pad;
    } else {
      const int8_t d = table[static_cast<unsigned char>(c)];
      if (d < 0 || pad > 0) return std::nullopt;
      acc = (acc << 6) | static_cast<uint32_t>(d);
    }
    if (++n < 4) continue;
    emit(acc, 4 - pad, out);
    ended = pad > 0;
    acc = 0;
    n = 0;
    pad = 0;
  }
  if (n != 0) {
    // An unfinished group: only an unpadded one of 2 or 3 characters, and only
    // when padding is optional.
    if (pad > 0 || !options.paddingOptional || n < 2) return std::nullopt;
    emit(acc, n, out);
  }
  if (out.empty() && !options.allowEmpty) return std::nullopt;
  return out;
}

}  // namespace quillbox
