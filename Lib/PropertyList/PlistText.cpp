#include "PropertyList/PlistText.h"

#include <locale.h>

#include <array>
#include <charconv>
#include <clocale>
#include <cstdlib>
#include <cstring>

#include "PropertyList/Utf8.h"
#include "base64/Base64.h"

namespace quillbox {

bool PlistText::isXmlChar(uint32_t cp) {
  return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
         (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

// True when the text is well-formed UTF-8 (no overlongs, no surrogates) made
// only of XML 1.0 characters (no NUL, no C0 controls but tab and line ends,
// no U+FFFE or U+FFFF).
bool PlistText::isXmlText(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    // Eight ASCII bytes at a time: most of a property list is such text, with
    // a tab or a line feed in most runs of eight.
    while (end - p >= 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      if (w & 0x8080808080808080ULL) break;
      if ((w - 0x2020202020202020ULL) & ~w & 0x8080808080808080ULL) {
        for (int i = 0; i < 8; ++i)
          if (p[i] < 0x20 && p[i] != '\t' && p[i] != '\n' && p[i] != '\r') return false;
      }
      p += 8;
    }
    if (p >= end) break;
    unsigned char c = *p;
    if (c < 0x80) {
      if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
      ++p;
      continue;
    }
    uint32_t cp;
    const size_t n = Utf8::decode(p, end, cp);
    if (n == 0 || !isXmlChar(cp)) return false;
    p += n;
  }
  return true;
}

void PlistText::appendUtf8(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// UTF-16 text (after its byte-order mark) as UTF-8; false for an odd length or
// a lone surrogate.
bool PlistText::utf16ToUtf8(std::string_view s, bool bigEndian, std::string& out) {
  if (s.size() % 2) return false;
  out.reserve(s.size());
  auto unit = [&](size_t i) {
    const auto a = static_cast<unsigned char>(s[i]), b = static_cast<unsigned char>(s[i + 1]);
    return static_cast<uint32_t>(bigEndian ? (a << 8 | b) : (b << 8 | a));
  };
  for (size_t i = 0; i < s.size(); i += 2) {
    uint32_t cp = unit(i);
    if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 3 >= s.size()) return false;
      const uint32_t low = unit(i + 2);
      if (low < 0xDC00 || low > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    }
    appendUtf8(cp, out);
  }
  return true;
}

// Integers: optional white space around "[+-]digits" (leading zeros are
// decimal) or "0x" hexadecimal digits; -2^63 ... 2^64-1.
std::optional<PlistValue> PlistText::integer(std::string_view t) {
  while (!t.empty() && PlistText::isSpace(t.front())) t.remove_prefix(1);
  while (!t.empty() && PlistText::isSpace(t.back())) t.remove_suffix(1);
  int base = 10;
  bool negative = false;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    base = 16;
    t.remove_prefix(2);
  } else if (!t.empty() && (t[0] == '-' || t[0] == '+')) {
    negative = t[0] == '-';
    t.remove_prefix(1);
  }
  if (t.empty() || t[0] == '+' || t[0] == '-') return std::nullopt;
  uint64_t magnitude = 0;
  auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), magnitude, base);
  if (ec != std::errc() || ptr != t.data() + t.size()) return std::nullopt;  // junk or overflow
  if (!negative) return PlistValue::unsignedInteger(magnitude);
  if (magnitude > (uint64_t{1} << 63)) return std::nullopt;
  return PlistValue::integer(static_cast<int64_t>(0 - magnitude));
}

// Reals: optional white space around a decimal number ("-1.5", "3", ".25",
// "1e+100") or "inf", "infinity", "nan" (any case, with a sign); no hex floats.
std::optional<double> PlistText::real(std::string_view t) {
  while (!t.empty() && PlistText::isSpace(t.front())) t.remove_prefix(1);
  while (!t.empty() && PlistText::isSpace(t.back())) t.remove_suffix(1);
  std::string_view body = t;
  if (!body.empty() && (body[0] == '+' || body[0] == '-')) body.remove_prefix(1);
  const std::string word = PlistText::lowerAscii(body);
  if (word != "inf" && word != "infinity" && word != "nan") {
    size_t i = 0, digits = 0;
    while (i < body.size() && body[i] >= '0' && body[i] <= '9') ++i, ++digits;
    if (i < body.size() && body[i] == '.') {
      ++i;
      while (i < body.size() && body[i] >= '0' && body[i] <= '9') ++i, ++digits;
    }
    if (digits == 0) return std::nullopt;
    if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
      ++i;
      if (i < body.size() && (body[i] == '+' || body[i] == '-')) ++i;
      size_t e = 0;
      while (i < body.size() && body[i] >= '0' && body[i] <= '9') ++i, ++e;
      if (e == 0) return std::nullopt;
    }
    if (i != body.size()) return std::nullopt;
  }
  // The number as text readers give it: a value too large is infinite, one too
  // small is zero (strtod in the C locale does both).
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
  const std::string text(t);
  char* end = nullptr;
  const double d = strtod_l(text.c_str(), &end, cLocale);
  if (end != text.c_str() + text.size()) return std::nullopt;
  return d;
}

// Standard Base64 with white space anywhere and "=" padding only at the end.
bool PlistText::base64(std::string_view t, std::string& out) {
  Base64::DecodeOptions options;
  options.skipWhitespace = true;
  options.allowEmpty = true;
  auto bytes = Base64::decode(t, options);
  if (!bytes) return false;
  out = std::move(*bytes);
  return true;
}

std::string PlistText::lowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

}  // namespace quillbox
