#include "Platform/PropertyList.h"

#include <plist/plist.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "Platform/FileSystem.h"
#include "Platform/Log.h"

namespace quillbox::platform {
namespace {

// Seconds between 1970-01-01 and the plist epoch 2001-01-01.
constexpr double kEpoch2001 = 978307200.0;

PlistValue fromNode(plist_t node, int depth) {
  if (!node || depth > 512) return PlistValue();
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return PlistValue::boolean(b != 0);
    }
    case PLIST_UINT: {
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      // libplist keeps integers as 64-bit patterns; negative numbers come back two's-complement.
      return PlistValue::integer(static_cast<int64_t>(u));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return PlistValue::real(d);
    }
    case PLIST_STRING: {
      char* s = nullptr;
      plist_get_string_val(node, &s);
      PlistValue v(std::string(s ? s : ""));
      free(s);
      return v;
    }
    case PLIST_KEY: {
      char* s = nullptr;
      plist_get_key_val(node, &s);
      PlistValue v(std::string(s ? s : ""));
      free(s);
      return v;
    }
    case PLIST_DATA: {
      char* d = nullptr;
      uint64_t len = 0;
      plist_get_data_val(node, &d, &len);
      PlistValue v = PlistValue::data(std::string(d ? d : "", d ? len : 0));
      free(d);
      return v;
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      return PlistValue::date(kEpoch2001 + sec + usec / 1e6);
    }
    case PLIST_ARRAY: {
      PlistArray a;
      uint32_t n = plist_array_get_size(node);
      a.reserve(n);
      for (uint32_t i = 0; i < n; ++i)
        a.push_back(fromNode(plist_array_get_item(node, i), depth + 1));
      return PlistValue(std::move(a));
    }
    case PLIST_DICT: {
      PlistDict d;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      if (!it) return PlistValue(std::move(d));
      for (;;) {
        char* key = nullptr;
        plist_t val = nullptr;
        plist_dict_next_item(node, it, &key, &val);
        if (!val) {
          free(key);
          break;
        }
        d.set(key ? key : "", fromNode(val, depth + 1));
        free(key);
      }
      free(it);
      return PlistValue(std::move(d));
    }
    default:
      return PlistValue();
  }
}

// Big-endian unsigned integer of `width` bytes at `p`.
uint64_t readBigEndian(const unsigned char* p, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i) v = (v << 8) | p[i];
  return v;
}

// True when a binary property list holds a string or key with a NUL
// character in it, or when its tables cannot be walked at all. libplist
// aborts the whole process when such a string is read back, so these lists
// are refused before it ever sees them.
bool binaryUnsafeForLibplist(std::string_view bytes) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t size = bytes.size();
  if (size < 8 + 32) return true;
  const unsigned char* trailer = b + size - 32;
  const size_t offsetSize = trailer[6];
  const uint64_t objects = readBigEndian(trailer + 8, 8);
  const uint64_t tableAt = readBigEndian(trailer + 24, 8);
  if (offsetSize < 1 || offsetSize > 8 || tableAt >= size - 32 ||
      objects > (size - 32 - tableAt) / offsetSize)
    return true;
  for (uint64_t i = 0; i < objects; ++i) {
    const uint64_t at = readBigEndian(b + tableAt + i * offsetSize, offsetSize);
    if (at < 8 || at >= size) return true;
    const unsigned marker = b[at];
    const unsigned kind = marker >> 4;
    if (kind != 0x5 && kind != 0x6 && kind != 0x7) continue;  // not a string
    uint64_t count = marker & 0x0F;
    uint64_t start = at + 1;
    if (count == 0x0F) {  // the length follows as an integer object
      if (start >= size || (b[start] >> 4) != 0x1) return true;
      const size_t width = size_t{1} << (b[start] & 0x0F);
      if (width > 8 || start + 1 + width > size) return true;
      count = readBigEndian(b + start + 1, width);
      start += 1 + width;
    }
    const uint64_t unit = kind == 0x6 ? 2 : 1;
    if (count > (size - start) / unit) return true;
    const unsigned char* s = b + start;
    for (uint64_t k = 0; k < count; ++k) {
      if (unit == 1 ? s[k] == 0 : (s[2 * k] == 0 && s[2 * k + 1] == 0)) return true;
    }
  }
  return false;
}

plist_t toNode(const PlistValue& v) {
  using T = PlistValue::Type;
  switch (v.type()) {
    case T::None:
      return nullptr;
    case T::Boolean:
      return plist_new_bool(v.boolValue() ? 1 : 0);
    case T::Integer:
      return plist_new_uint(static_cast<uint64_t>(v.integerValue()));
    case T::Real:
      return plist_new_real(v.realValue());
    case T::String:
      return plist_new_string(v.asString()->c_str());
    case T::Data: {
      const std::string& b = v.asData()->bytes;
      return plist_new_data(b.data(), b.size());
    }
    case T::Date: {
      // The binary form's API counts whole seconds in 32 bits: dates beyond
      // 1933..2069 are written as the nearest date it can hold.
      double rel = v.asDate()->secondsSince1970 - kEpoch2001;
      if (!std::isfinite(rel)) rel = 0;
      rel = std::clamp(rel, double(std::numeric_limits<int32_t>::min()),
                       double(std::numeric_limits<int32_t>::max()));
      double whole = std::floor(rel);
      return plist_new_date(static_cast<int32_t>(whole),
                            static_cast<int32_t>(std::lround((rel - whole) * 1e6)));
    }
    case T::Array: {
      plist_t a = plist_new_array();
      for (const auto& e : *v.asArray()) {
        if (plist_t n = toNode(e)) plist_array_append_item(a, n);
      }
      return a;
    }
    case T::Dict: {
      plist_t d = plist_new_dict();
      for (const auto& [k, e] : *v.asDict()) {
        if (plist_t n = toNode(e)) plist_dict_set_item(d, k.c_str(), n);
      }
      return d;
    }
  }
  return nullptr;
}

// About the length of appendXml's text (exact but for entities and number widths).
size_t xmlSizeHint(const PlistValue& v, size_t depth) {
  using T = PlistValue::Type;
  switch (v.type()) {
    case T::String:
      return depth + 18 + v.asString()->size();
    case T::Array: {
      size_t n = 2 * depth + 18;
      for (const auto& e : *v.asArray()) n += xmlSizeHint(e, depth + 1);
      return n;
    }
    case T::Dict: {
      size_t n = 2 * depth + 16;
      for (const auto& [k, e] : *v.asDict()) n += depth + 13 + k.size() + xmlSizeHint(e, depth + 1);
      return n;
    }
    default:
      return depth + 24;
  }
}

// The XML text of strings, integers, booleans, arrays and dictionaries,
// written directly in libplist's layout (tabs, "<array/>", "&amp;" "&lt;" "&gt;"):
// a store of ten thousand records is written several times faster than by
// building libplist nodes first. False for any other type (libplist writes those).
bool appendXml(const PlistValue& v, int depth, std::string& out) {
  using T = PlistValue::Type;
  auto indent = [&](int d) { out.append(static_cast<size_t>(d), '\t'); };
  // Runs of plain text are appended whole: a byte at a time costs as much as the rest.
  auto text = [&](const std::string& t) {
    size_t start = 0;
    for (size_t i = 0; i < t.size(); ++i) {
      const char* entity;
      switch (t[i]) {
        case '&':
          entity = "&amp;";
          break;
        case '<':
          entity = "&lt;";
          break;
        case '>':
          entity = "&gt;";
          break;
        default:
          continue;
      }
      out.append(t, start, i - start);
      out += entity;
      start = i + 1;
    }
    out.append(t, start, std::string::npos);
  };
  switch (v.type()) {
    case T::Boolean:
      indent(depth);
      out += v.boolValue() ? "<true/>\n" : "<false/>\n";
      return true;
    case T::Integer:
      indent(depth);
      {
        char digits[24];
        auto end = std::to_chars(digits, digits + sizeof digits, v.integerValue()).ptr;
        out += "<integer>";
        out.append(digits, end);
        out += "</integer>\n";
      }
      return true;
    case T::String:
      indent(depth);
      out += "<string>";
      text(*v.asString());
      out += "</string>\n";
      return true;
    case T::Array: {
      const PlistArray& a = *v.asArray();
      bool any = false;
      for (const auto& e : a) any = any || !e.isNone();
      indent(depth);
      if (!any) {
        out += "<array/>\n";
        return true;
      }
      out += "<array>\n";
      for (const auto& e : a) {
        if (!e.isNone() && !appendXml(e, depth + 1, out)) return false;
      }
      indent(depth);
      out += "</array>\n";
      return true;
    }
    case T::Dict: {
      const PlistDict& d = *v.asDict();
      bool any = false;
      for (const auto& [k, e] : d) any = any || !e.isNone();
      indent(depth);
      if (!any) {
        out += "<dict/>\n";
        return true;
      }
      out += "<dict>\n";
      for (const auto& [k, e] : d) {
        if (e.isNone()) continue;
        indent(depth + 1);
        out += "<key>";
        text(k);
        out += "</key>\n";
        if (!appendXml(e, depth + 1, out)) return false;
      }
      indent(depth);
      out += "</dict>\n";
      return true;
    }
    default:
      return false;
  }
}

// ---------------------------------------------------------------------------
// The direct XML reader.
//
// A single forward pass over the text with explicit stacks (no recursion), so
// any nesting depth costs heap, never stack. It accepts only a strict subset
// of XML plists and answers "not handled" (nullopt) for anything else; the
// caller then asks libplist, so each value it gives must equal libplist's.

// fromNode turns values nested deeper than this into none values; so do we.
constexpr size_t kMaxDepth = 512;

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// True when the text is well-formed UTF-8 (no overlongs, no surrogates).
bool validUtf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    // Eight ASCII bytes at a time: most of a plist is ASCII.
    while (end - p >= 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      if (w & 0x8080808080808080ULL) break;
      p += 8;
    }
    if (p >= end) break;
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    size_t n;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      n = 1, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) <= n) return false;
    for (size_t i = 1; i <= n; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    p += n + 1;
  }
  return true;
}

void appendUtf8(uint32_t cp, std::string& out) {
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

// The text of a <string> or <key>: the five named entities and numeric
// character references; anything else is not handled. White space is kept.
bool decodeText(std::string_view raw, std::string& out) {
  size_t amp = raw.find('&');
  if (amp == std::string_view::npos) {
    out.assign(raw);
    return true;
  }
  out.clear();
  out.reserve(raw.size());
  size_t i = 0;
  for (;;) {
    out.append(raw.substr(i, amp - i));
    size_t semi = raw.find(';', amp);
    if (semi == std::string_view::npos || semi - amp > 12) return false;
    std::string_view ent = raw.substr(amp + 1, semi - amp - 1);
    if (ent == "amp") {
      out += '&';
    } else if (ent == "lt") {
      out += '<';
    } else if (ent == "gt") {
      out += '>';
    } else if (ent == "quot") {
      out += '"';
    } else if (ent == "apos") {
      out += '\'';
    } else if (ent.size() >= 2 && ent[0] == '#') {
      bool hex = ent[1] == 'x';
      std::string_view digits = ent.substr(hex ? 2 : 1);
      if (digits.empty() || digits.size() > 8) return false;
      uint32_t cp = 0;
      auto [ptr, ec] =
          std::from_chars(digits.data(), digits.data() + digits.size(), cp, hex ? 16 : 10);
      if (ec != std::errc() || ptr != digits.data() + digits.size()) return false;
      // Control characters other than tab and line ends, surrogates and
      // out-of-range points are left to libplist.
      if ((cp < 0x20 && cp != 0x9 && cp != 0xA && cp != 0xD) || (cp >= 0xD800 && cp <= 0xDFFF) ||
          cp > 0x10FFFF)
        return false;
      appendUtf8(cp, out);
    } else {
      return false;
    }
    i = semi + 1;
    amp = raw.find('&', i);
    if (amp == std::string_view::npos) {
      out.append(raw.substr(i));
      return true;
    }
  }
}

// Decimal integers only ("-12", "0", "18446744073709551615"), with libplist's
// mapping of the 64-bit pattern; leading zeros (octal to libplist), hex, signs
// other than "-", spaces and overflow are not handled.
std::optional<int64_t> parseInteger(std::string_view t) {
  bool neg = !t.empty() && t[0] == '-';
  if (neg) t.remove_prefix(1);
  if (t.empty() || (t.size() > 1 && t[0] == '0')) return std::nullopt;
  uint64_t mag = 0;
  auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), mag, 10);
  if (ec != std::errc() || ptr != t.data() + t.size()) return std::nullopt;
  return static_cast<int64_t>(neg ? 0 - mag : mag);
}

// "-1.5", "3", ".25", "1e+100"; no spaces, no "+", no inf/nan, no hex floats.
std::optional<double> parseReal(std::string_view t) {
  size_t i = 0, digits = 0;
  if (i < t.size() && t[i] == '-') ++i;
  while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++digits;
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return std::nullopt;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    size_t e = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++e;
    if (e == 0) return std::nullopt;
  }
  if (i != t.size()) return std::nullopt;
  double d = 0;
  auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), d);
  if (ec != std::errc() || ptr != t.data() + t.size() || !std::isfinite(d)) return std::nullopt;
  return d;
}

int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// Exactly "YYYY-MM-DDTHH:MM:SSZ" with valid fields, within the signed 32-bit
// seconds around 2001 that libplist's date keeps.
std::optional<double> parseDate(std::string_view t) {
  if (t.size() != 20 || t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' ||
      t[16] != ':' || t[19] != 'Z')
    return std::nullopt;
  auto num = [&](size_t at, size_t len, int& out) {
    out = 0;
    for (size_t i = at; i < at + len; ++i) {
      if (t[i] < '0' || t[i] > '9') return false;
      out = out * 10 + (t[i] - '0');
    }
    return true;
  };
  int y, mo, d, h, mi, s;
  if (!num(0, 4, y) || !num(5, 2, mo) || !num(8, 2, d) || !num(11, 2, h) || !num(14, 2, mi) ||
      !num(17, 2, s))
    return std::nullopt;
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] + (mo == 2 && leap) || h > 23 || mi > 59 ||
      s > 59)
    return std::nullopt;
  int64_t unix = daysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 +
                 h * 3600 + mi * 60 + s;
  int64_t rel = unix - static_cast<int64_t>(kEpoch2001);
  if (rel < std::numeric_limits<int32_t>::min() || rel > std::numeric_limits<int32_t>::max())
    return std::nullopt;
  return kEpoch2001 + static_cast<double>(rel);
}

// Standard Base64 with white space anywhere and "=" padding only at the end.
bool decodeBase64(std::string_view t, std::string& out) {
  static const auto table = [] {
    std::array<int8_t, 256> a{};
    a.fill(-1);
    const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) a[static_cast<unsigned char>(abc[i])] = static_cast<int8_t>(i);
    return a;
  }();
  out.clear();
  out.reserve(t.size() / 4 * 3);
  uint32_t acc = 0;
  int n = 0, pad = 0;
  bool done = false;  // padding seen: only white space may follow
  for (char ch : t) {
    if (isSpace(ch)) continue;
    if (done) return false;
    if (ch == '=') {
      if (n < 2) return false;
      ++pad;
    } else {
      int8_t v = table[static_cast<unsigned char>(ch)];
      if (v < 0 || pad > 0) return false;
      acc = (acc << 6) | static_cast<uint32_t>(v);
    }
    if (++n < 4) continue;
    acc <<= 6 * pad;
    out += static_cast<char>(acc >> 16);
    if (pad < 2) out += static_cast<char>((acc >> 8) & 0xFF);
    if (pad < 1) out += static_cast<char>(acc & 0xFF);
    done = pad > 0;
    acc = 0;
    n = 0;
  }
  return n == 0;
}

class XmlReader {
 public:
  explicit XmlReader(std::string_view s) : s_(s) {}

  std::optional<PlistValue> run() {
    if (!validUtf8(s_)) return std::nullopt;
    skipSpace();
    if (starts("<?xml") && p_ + 5 < s_.size() && isSpace(s_[p_ + 5]) && !declaration())
      return std::nullopt;
    bool doctype = false;
    enum { kProlog, kInPlist, kAfter } stage = kProlog;
    for (;;) {
      skipSpace();
      if (p_ >= s_.size()) break;
      if (s_[p_] != '<') return std::nullopt;  // stray text between elements
      if (starts("<!--")) {
        size_t end = s_.find("-->", p_ + 4);
        if (end == std::string_view::npos) return std::nullopt;
        p_ = end + 3;
        continue;
      }
      if (starts("<!DOCTYPE")) {
        if (doctype || stage != kProlog || !doctypeDeclaration()) return std::nullopt;
        doctype = true;
        continue;
      }
      if (stage == kAfter) return std::nullopt;
      if (starts("</")) {
        p_ += 2;
        std::string_view name = readName();
        if (!closeTag()) return std::nullopt;
        if (name == "plist") {
          if (stage != kInPlist || !levels_.empty() || !root_) return std::nullopt;
          stage = kAfter;
        } else if (name == "dict" || name == "array") {
          if (levels_.empty() || levels_.back().dict != (name == "dict")) return std::nullopt;
          if (!closeContainer()) return std::nullopt;
        } else {
          return std::nullopt;
        }
        continue;
      }
      ++p_;
      std::string_view name = readName();
      if (name == "plist") {
        if (stage != kProlog || !plistAttributes()) return std::nullopt;
        stage = kInPlist;
        continue;
      }
      if (stage != kInPlist) return std::nullopt;
      bool empty = false;
      if (!endOfTag(empty)) return std::nullopt;
      if (!element(name, empty)) return std::nullopt;
    }
    if (stage != kAfter || !root_) return std::nullopt;
    return std::move(root_);
  }

 private:
  struct Level {
    bool dict;
    bool hasKey;
  };
  struct Frame {
    PlistArray array;
    PlistDict dict;
    std::string key;
  };

  bool starts(std::string_view t) const { return s_.substr(p_, t.size()) == t; }
  void skipSpace() {
    while (p_ < s_.size() && isSpace(s_[p_])) ++p_;
  }
  std::string_view readName() {
    size_t b = p_;
    while (p_ < s_.size() && ((s_[p_] >= 'a' && s_[p_] <= 'z') || (s_[p_] >= 'A' && s_[p_] <= 'Z')))
      ++p_;
    return s_.substr(b, p_ - b);
  }
  // After a closing tag's name: optional white space, then ">".
  bool closeTag() {
    skipSpace();
    if (p_ >= s_.size() || s_[p_] != '>') return false;
    ++p_;
    return true;
  }
  // After a start tag's name: optional white space, then ">" or "/>"; no attributes.
  bool endOfTag(bool& empty) {
    skipSpace();
    empty = starts("/>");
    if (empty) {
      p_ += 2;
      return true;
    }
    return closeTag();
  }
  // A quoted literal ("..." or '...') without markup characters.
  bool quoted(std::string_view& value) {
    if (p_ >= s_.size() || (s_[p_] != '"' && s_[p_] != '\'')) return false;
    size_t end = s_.find(s_[p_], p_ + 1);
    if (end == std::string_view::npos) return false;
    value = s_.substr(p_ + 1, end - p_ - 1);
    if (value.find_first_of("<>&[") != std::string_view::npos) return false;
    p_ = end + 1;
    return true;
  }
  // White space, then name="value".
  bool attribute(std::string_view& name, std::string_view& value) {
    size_t before = p_;
    skipSpace();
    if (p_ == before) return false;
    name = readName();
    if (name.empty()) return false;
    skipSpace();
    if (!starts("=")) return false;
    ++p_;
    skipSpace();
    return quoted(value);
  }
  // <?xml version="..." [encoding="UTF-8"] [standalone="..."]?>
  bool declaration() {
    static constexpr std::string_view kNames[] = {"version", "encoding", "standalone"};
    p_ += 5;
    size_t next = 0;
    for (;;) {
      size_t before = p_;
      skipSpace();
      if (starts("?>")) {
        p_ += 2;
        return next > 0;
      }
      p_ = before;
      std::string_view name, value;
      if (!attribute(name, value)) return false;
      size_t i = next;
      while (i < std::size(kNames) && kNames[i] != name) ++i;
      if (i == std::size(kNames) || (next == 0 && i != 0)) return false;
      if (name == "encoding" && value != "UTF-8" && value != "utf-8") return false;
      next = i + 1;
    }
  }
  // <!DOCTYPE plist [PUBLIC "..." "..." | SYSTEM "..."]>; an internal subset
  // (which could declare entities) is not ours.
  bool doctypeDeclaration() {
    p_ += 9;
    size_t before = p_;
    skipSpace();
    if (p_ == before || readName() != "plist") return false;
    before = p_;
    skipSpace();
    if (p_ > before && (starts("PUBLIC") || starts("SYSTEM"))) {
      int literals = starts("PUBLIC") ? 2 : 1;
      p_ += 6;
      std::string_view value;
      for (int i = 0; i < literals; ++i) {
        before = p_;
        skipSpace();
        if (p_ == before || !quoted(value)) return false;
      }
      skipSpace();
    }
    return closeTag();
  }
  // <plist> takes at most a version attribute.
  bool plistAttributes() {
    bool version = false;
    for (;;) {
      size_t before = p_;
      skipSpace();
      if (starts(">")) {
        ++p_;
        return true;
      }
      p_ = before;
      std::string_view name, value;
      if (version || !attribute(name, value) || name != "version") return false;
      version = true;
    }
  }
  // The raw text of a text element up to its closing tag (which is consumed).
  std::optional<std::string_view> content(std::string_view name) {
    size_t lt = s_.find('<', p_);
    if (lt == std::string_view::npos) return std::nullopt;
    std::string_view raw = s_.substr(p_, lt - p_);
    p_ = lt;
    if (!starts("</")) return std::nullopt;  // comments, CDATA, markup inside text
    p_ += 2;
    if (readName() != name || !closeTag()) return std::nullopt;
    return raw;
  }

  bool element(std::string_view name, bool empty) {
    if (name == "dict" || name == "array") {
      levels_.push_back(Level{name == "dict", false});
      if (levels_.size() - 1 <= kMaxDepth) frames_.emplace_back();
      return empty ? closeContainer() : true;
    }
    if (name == "true" || name == "false") {
      return empty && emit(PlistValue::boolean(name == "true"));
    }
    if (name == "key") {
      if (empty || levels_.empty() || !levels_.back().dict || levels_.back().hasKey) return false;
      auto raw = content(name);
      if (!raw) return false;
      levels_.back().hasKey = true;
      if (levels_.size() - 1 > kMaxDepth) return decodeText(*raw, scratch_);
      return decodeText(*raw, frames_.back().key);
    }
    if (name == "string") {
      if (empty) return emit(PlistValue(std::string()));
      auto raw = content(name);
      if (!raw) return false;
      std::string text;
      if (!decodeText(*raw, text)) return false;
      return emit(PlistValue(std::move(text)));
    }
    if (name == "data") {
      if (empty) return emit(PlistValue::data(std::string()));
      auto raw = content(name);
      std::string bytes;
      if (!raw || !decodeBase64(*raw, bytes)) return false;
      return emit(PlistValue::data(std::move(bytes)));
    }
    if (empty) return false;
    if (name == "integer") {
      auto raw = content(name);
      std::optional<int64_t> i;
      if (!raw || !(i = parseInteger(*raw))) return false;
      return emit(PlistValue::integer(*i));
    }
    if (name == "real") {
      auto raw = content(name);
      std::optional<double> d;
      if (!raw || !(d = parseReal(*raw))) return false;
      return emit(PlistValue::real(*d));
    }
    if (name == "date") {
      auto raw = content(name);
      std::optional<double> d;
      if (!raw || !(d = parseDate(*raw))) return false;
      return emit(PlistValue::date(*d));
    }
    return false;
  }

  bool closeContainer() {
    Level level = levels_.back();
    if (level.hasKey) return false;  // a key without a value
    size_t depth = levels_.size() - 1;
    levels_.pop_back();
    if (depth > kMaxDepth) return emit(PlistValue());
    Frame& f = frames_.back();
    PlistValue v = level.dict ? PlistValue(std::move(f.dict)) : PlistValue(std::move(f.array));
    frames_.pop_back();
    return emit(std::move(v));
  }

  // Hands a finished value to its container (or makes it the root).
  bool emit(PlistValue v) {
    size_t depth = levels_.size();
    if (depth == 0) {
      if (root_) return false;  // one value per document
      root_ = std::move(v);
      return true;
    }
    Level& level = levels_.back();
    if (level.dict) {
      if (!level.hasKey) return false;
      level.hasKey = false;
    }
    if (depth > kMaxDepth + 1) return true;  // inside a container already cut off
    if (depth > kMaxDepth) v = PlistValue();
    Frame& f = frames_.back();
    if (level.dict) {
      // A repeated key keeps its first place and takes the last value, as with libplist.
      f.dict.set(std::move(f.key), std::move(v));
      f.key.clear();
    } else {
      f.array.push_back(std::move(v));
    }
    return true;
  }

  std::string_view s_;
  size_t p_ = 0;
  std::vector<Level> levels_;
  std::vector<Frame> frames_;
  std::string scratch_;
  std::optional<PlistValue> root_;
};

}  // namespace

std::optional<PlistValue> PropertyList::parse(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  if (!plist_is_binary(bytes.data(), static_cast<uint32_t>(bytes.size()))) {
    if (auto v = parseXmlDirect(bytes)) return v;
  }
  return parseWithLibplist(bytes);
}

std::optional<PlistValue> PropertyList::parseXmlDirect(std::string_view text) {
  if (std::memchr(text.data(), 0, text.size())) return std::nullopt;  // never XML
  return XmlReader(text).run();
}

std::optional<PlistValue> PropertyList::parseWithLibplist(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  plist_t root = nullptr;
  if (plist_is_binary(bytes.data(), static_cast<uint32_t>(bytes.size()))) {
    if (binaryUnsafeForLibplist(bytes)) return std::nullopt;
    plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  } else {
    // XML text never holds a NUL character, and libplist aborts the process on
    // one inside a string: such a text is no property list.
    if (std::memchr(bytes.data(), 0, bytes.size())) return std::nullopt;
    plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  }
  if (!root) return std::nullopt;
  PlistValue v = fromNode(root, 0);
  plist_free(root);
  return v;
}

std::string PropertyList::toXml(const PlistValue& value) {
  if (value.isDict()) {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST "
        "1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n";
    // One allocation up front: growing a store-sized text step by step touches
    // (and faults in) fresh pages at every step.
    out.reserve(out.size() + xmlSizeHint(value, 0) + 16);
    if (appendXml(value, 0, out)) {
      out += "</plist>\n";
      return out;
    }
  }
  plist_t root = value.isNone() ? plist_new_dict() : toNode(value);
  char* xml = nullptr;
  uint32_t len = 0;
  plist_to_xml(root, &xml, &len);
  std::string out(xml ? xml : "", xml ? len : 0);
  plist_to_xml_free(xml);
  plist_free(root);
  return out;
}

std::string PropertyList::toBinary(const PlistValue& value) {
  plist_t root = value.isNone() ? plist_new_dict() : toNode(value);
  char* bin = nullptr;
  uint32_t len = 0;
  plist_to_bin(root, &bin, &len);
  std::string out(bin ? bin : "", bin ? len : 0);
  plist_to_bin_free(bin);
  plist_free(root);
  return out;
}

std::optional<PlistValue> PropertyList::read(const std::string& path) {
  auto bytes = FileSystem::Default().readFile(path);
  if (!bytes) return std::nullopt;
  auto v = parse(*bytes);
  if (!v) Log::printf("plist: unreadable property list %s", path.c_str());
  return v;
}

PlistDict PropertyList::readDictionary(const std::string& path) {
  auto v = read(path);
  if (v && v->asDict()) return std::move(*v->asDict());
  return PlistDict();
}

bool PropertyList::write(const std::string& path, const PlistValue& value) {
  return FileSystem::Default().writeAtomically(path, toXml(value));
}

}  // namespace quillbox::platform
