#include "PropertyList/PlistXmlWriter.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "PropertyList/Utf8.h"

namespace quillbox {
namespace {

// A real as Python's repr() and Apple's tools write it: the shortest digits
// that read back to the same number, fixed notation for exponents -4 to 15
// (always with a fraction), else "1.5e+100"; "nan", "inf", "-inf".
std::string realText(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
  char buf[64];
  const auto end = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific).ptr;
  const std::string_view sci(buf, static_cast<size_t>(end - buf));
  const size_t e = sci.find('e');
  int exp = 0;
  std::from_chars(sci.data() + e + (sci[e + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exp);
  std::string digits;
  for (char c : sci.substr(0, e))
    if (c >= '0' && c <= '9') digits += c;
  std::string out = d < 0 || std::signbit(d) ? "-" : "";
  if (exp >= -4 && exp < 16) {
    if (exp < 0) {
      out += "0." + std::string(static_cast<size_t>(-exp - 1), '0') + digits;
    } else if (digits.size() <= static_cast<size_t>(exp) + 1) {
      out += digits + std::string(static_cast<size_t>(exp) + 1 - digits.size(), '0') + ".0";
    } else {
      out += digits.substr(0, static_cast<size_t>(exp) + 1) + "." +
             digits.substr(static_cast<size_t>(exp) + 1);
    }
    return out;
  }
  out += digits.substr(0, 1);
  if (digits.size() > 1) out += "." + digits.substr(1);
  char tail[16];
  std::snprintf(tail, sizeof tail, "e%c%02d", exp < 0 ? '-' : '+', std::abs(exp));
  return out + tail;
}

class XmlWriter {
 public:
  explicit XmlWriter(std::string& out) : out_(out) {}
  std::string error;

  bool value(const PlistValue& v, size_t depth) {
    using T = PlistValue::Type;
    switch (v.type()) {
      case T::None:
        return true;
      case T::Boolean:
        indent(depth);
        out_ += v.boolValue() ? "<true/>\n" : "<false/>\n";
        return true;
      case T::Integer: {
        char digits[24];
        char* end;
        if (auto i = v.asInteger()) {
          end = std::to_chars(digits, digits + sizeof digits, *i).ptr;
        } else {
          end = std::to_chars(digits, digits + sizeof digits, *v.asUnsignedInteger()).ptr;
        }
        indent(depth);
        out_ += "<integer>";
        out_.append(digits, end);
        out_ += "</integer>\n";
        return true;
      }
      case T::Real:
        indent(depth);
        out_ += "<real>" + realText(*v.asReal()) + "</real>\n";
        return true;
      case T::String:
        indent(depth);
        out_ += "<string>";
        if (!text(*v.asString())) return false;
        out_ += "</string>\n";
        return true;
      case T::Data:
        data(*v.asData(), depth);
        return true;
      case T::Date: {
        auto iso = v.asDate()->isoText();
        if (!iso) return fail("a date outside the years 1 to 9999");
        indent(depth);
        out_ += "<date>" + *iso + "</date>\n";
        return true;
      }
      case T::Array:
      case T::Dict:
        return container(v, depth);
    }
    return false;
  }

  bool key(const std::string& k, size_t depth) {
    indent(depth);
    out_ += "<key>";
    if (!text(k, "a key")) return false;
    out_ += "</key>\n";
    return true;
  }

 private:
  bool fail(std::string why) {
    if (error.empty()) error = std::move(why);
    return false;
  }
  void indent(size_t depth) { out_.append(depth, '\t'); }

  // Escaped text; runs of plain text are appended whole (a byte at a time
  // costs as much as the rest of the writing). Anything but plain printable
  // ASCII goes through the full check once.
  bool text(const std::string& t, const char* what = "a string") {
    static const auto plain = [] {
      std::array<bool, 256> a{};
      for (int c = 0x20; c < 0x80; ++c) a[c] = c != '&' && c != '<' && c != '>';
      a['\t'] = a['\n'] = true;
      return a;
    }();
    size_t start = 0;
    bool checked = false;
    for (size_t i = 0; i < t.size(); ++i) {
      const auto c = static_cast<unsigned char>(t[i]);
      if (plain[c]) continue;
      const char* entity;
      switch (c) {
        case '&':
          entity = "&amp;";
          break;
        case '<':
          entity = "&lt;";
          break;
        case '>':
          entity = "&gt;";
          break;
        case '\r':
          entity = "&#13;";  // a raw one would read back as a line feed
          break;
        default:
          if (!checked) {
            if (auto why = PlistXmlWriter::unwritable(t))
              return fail(std::string(what) + " with " + *why);
            checked = true;
          }
          continue;
      }
      out_.append(t, start, i - start);
      out_ += entity;
      start = i + 1;
    }
    out_.append(t, start, std::string::npos);
    return true;
  }

  // Base64 lines at the element's indent, as wide as plistlib makes them.
  void data(const PlistData& d, size_t depth) {
    indent(depth);
    out_ += "<data>\n";
    const std::string b64 = d.base64();
    const size_t width = std::max<size_t>(16, 76 > 8 * depth ? 76 - 8 * depth : 0) / 4 * 4;
    for (size_t at = 0; at < b64.size(); at += width) {
      indent(depth);
      out_.append(b64, at, width);
      out_ += '\n';
    }
    indent(depth);
    out_ += "</data>\n";
  }

  bool container(const PlistValue& v, size_t depth) {
    if (depth >= kPlistMaxDepth) return fail("more than 512 levels of arrays and dictionaries");
    const bool isDict = v.isDict();
    bool any = false;
    if (isDict) {
      for (const auto& [k, e] : *v.asDict()) any = any || !e.isNone();
    } else {
      for (const auto& e : *v.asArray()) any = any || !e.isNone();
    }
    indent(depth);
    if (!any) {
      out_ += isDict ? "<dict/>\n" : "<array/>\n";
      return true;
    }
    out_ += isDict ? "<dict>\n" : "<array>\n";
    if (isDict) {
      for (const auto& [k, e] : *v.asDict()) {
        if (e.isNone()) continue;
        if (!key(k, depth + 1)) return false;
        if (!value(e, depth + 1)) {
          error = "key \"" + k + "\": " + error;
          return false;
        }
      }
    } else {
      for (const auto& e : *v.asArray())
        if (!value(e, depth + 1)) return false;
    }
    indent(depth);
    out_ += isDict ? "</dict>\n" : "</array>\n";
    return true;
  }

  std::string& out_;
};

// About the length of the text (at least it, but for entities and data).
size_t sizeHint(const PlistValue& v, size_t depth) {
  using T = PlistValue::Type;
  switch (v.type()) {
    case T::String:
      return depth + 18 + v.asString()->size();
    case T::Data:
      return 3 * depth + 20 + v.asData()->bytes.size() * 3 / 2;
    case T::Array: {
      size_t n = 2 * depth + 18;
      if (depth < kPlistMaxDepth)
        for (const auto& e : *v.asArray()) n += sizeHint(e, depth + 1);
      return n;
    }
    case T::Dict: {
      size_t n = 2 * depth + 16;
      if (depth < kPlistMaxDepth)
        for (const auto& [k, e] : *v.asDict()) n += depth + 13 + k.size() + sizeHint(e, depth + 1);
      return n;
    }
    default:
      return depth + 42;  // "<integer>" and 20 digits, "<real>" and 24 characters ...
  }
}

}  // namespace

std::optional<std::string> PlistXmlWriter::unwritable(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  char buf[64];
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
        std::snprintf(buf, sizeof buf, "the control character U+%04X", c);
        return std::string(buf);
      }
      ++p;
      continue;
    }
    uint32_t cp;
    const size_t n = Utf8::decode(p, end, cp);
    if (n == 0) return std::string("bytes that are not UTF-8");
    if (cp == 0xFFFE || cp == 0xFFFF) {
      std::snprintf(buf, sizeof buf, "the non-character U+%04X", cp);
      return std::string(buf);
    }
    p += n;
  }
  return std::nullopt;
}

bool PlistXmlWriter::writeValue(const PlistValue& value, size_t depth, std::string& out,
                                std::string* why) {
  XmlWriter writer(out);
  if (writer.value(value, depth)) return true;
  if (why) *why = writer.error;
  return false;
}

bool PlistXmlWriter::writeKey(const std::string& key, size_t depth, std::string& out,
                              std::string* why) {
  XmlWriter writer(out);
  if (writer.key(key, depth)) return true;
  if (why) *why = writer.error;
  return false;
}

bool PlistXmlWriter::write(const PlistValue& value, std::string& out, std::string* why) {
  out.assign(kDocumentStart);
  // One allocation up front: growing a store-sized text step by step touches
  // (and faults in) fresh pages at every step.
  out.reserve(out.size() + sizeHint(value, 0) + 4096);
  XmlWriter writer(out);
  if (value.isNone()) {
    out += "<dict/>\n";
  } else if (!writer.value(value, 0)) {
    if (why) *why = writer.error;
    return false;
  }
  out += kDocumentEnd;
  return true;
}

std::optional<std::string> PlistXmlWriter::write(const PlistValue& value, std::string* why) {
  std::string out;
  if (!write(value, out, why)) return std::nullopt;
  return out;
}

}  // namespace quillbox
