#include "PropertyList/PlistXmlReader.h"

#include <charconv>
#include <cstring>
#include <string>
#include <vector>

#include "PropertyList/PlistText.h"

namespace quillbox {
namespace {

// The encoding named by an XML declaration at the start of `s` ("" when none),
// read only far enough to choose how to decode the bytes; the reader checks
// the declaration itself.
std::string declaredEncoding(std::string_view s) {
  size_t p = 0;
  while (p < s.size() && PlistText::isSpace(s[p])) ++p;
  if (s.substr(p, 5) != "<?xml") return "";
  const size_t end = s.find("?>", p);
  const std::string_view decl = s.substr(p, end == std::string_view::npos ? 0 : end - p);
  size_t at = decl.find("encoding");
  if (at == std::string_view::npos) return "";
  at += 8;
  while (at < decl.size() && (PlistText::isSpace(decl[at]) || decl[at] == '=')) ++at;
  if (at >= decl.size() || (decl[at] != '"' && decl[at] != '\'')) return "";
  const size_t close = decl.find(decl[at], at + 1);
  if (close == std::string_view::npos) return "";
  return PlistText::lowerAscii(decl.substr(at + 1, close - at - 1));
}

class XmlReader {
 public:
  explicit XmlReader(std::string_view s) : s_(s) {}

  // The encoding the declaration names, lower-case ("" without one).
  const std::string& encoding() const { return encoding_; }

  std::optional<PlistValue> run() {
    skipSpace();
    if (starts("<?xml") && p_ + 5 < s_.size() && PlistText::isSpace(s_[p_ + 5]) && !declaration())
      return std::nullopt;
    bool doctype = false;
    for (;;) {
      if (!misc()) return std::nullopt;
      if (!starts("<!DOCTYPE")) break;
      if (doctype || !doctypeDeclaration()) return std::nullopt;
      doctype = true;
    }
    if (!starts("<plist")) return std::nullopt;
    p_ += 6;
    bool empty = false;
    if (!startTagEnd(empty) || empty) return std::nullopt;
    for (;;) {
      if (!misc() || p_ >= s_.size() || s_[p_] != '<') return std::nullopt;  // stray text
      if (starts("</")) {
        p_ += 2;
        std::string_view name = readName();
        if (!closeTag()) return std::nullopt;
        if (name == "plist") {
          if (!frames_.empty() || !root_) return std::nullopt;
          break;
        }
        if ((name != "dict" && name != "array") || frames_.empty() ||
            frames_.back().isDict != (name == "dict") || !closeContainer())
          return std::nullopt;
        continue;
      }
      ++p_;
      std::string_view name = readName();
      if (name.empty() || name[0] == '!' || !startTagEnd(empty) || !element(name, empty))
        return std::nullopt;
    }
    if (!misc() || p_ != s_.size()) return std::nullopt;  // junk after the document
    return std::move(root_);
  }

 private:
  struct Frame {
    explicit Frame(bool d) : isDict(d) {}
    bool isDict;
    bool hasKey = false;
    PlistArray array;
    PlistDict dict;
    std::string key;
  };

  bool starts(std::string_view t) const { return s_.substr(p_, t.size()) == t; }
  void skipSpace() {
    while (p_ < s_.size() && PlistText::isSpace(s_[p_])) ++p_;
  }
  std::string_view readName() {
    size_t b = p_;
    while (p_ < s_.size() && !PlistText::isSpace(s_[p_]) && s_[p_] != '/' && s_[p_] != '>' &&
           s_[p_] != '=' && s_[p_] != '<' && s_[p_] != '?')
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
  // After a start tag's name: attributes (read and ignored), then ">" or "/>".
  bool startTagEnd(bool& empty) {
    for (;;) {
      const size_t before = p_;
      skipSpace();
      empty = starts("/>");
      if (empty) {
        p_ += 2;
        return true;
      }
      if (starts(">")) {
        ++p_;
        return true;
      }
      std::string_view name, value;
      if (p_ == before || !attribute(name, value)) return false;
    }
  }
  // A quoted literal ("..." or '...') without "<"; references must be sound.
  bool quoted(std::string_view& value) {
    if (p_ >= s_.size() || (s_[p_] != '"' && s_[p_] != '\'')) return false;
    size_t end = s_.find(s_[p_], p_ + 1);
    if (end == std::string_view::npos) return false;
    value = s_.substr(p_ + 1, end - p_ - 1);
    if (value.find('<') != std::string_view::npos) return false;
    for (size_t amp = value.find('&'); amp != std::string_view::npos;
         amp = value.find('&', amp + 1)) {
      size_t at = amp;
      scratch_.clear();
      if (!reference(value, at, scratch_)) return false;
    }
    p_ = end + 1;
    return true;
  }
  // name = "value" (the cursor on the name).
  bool attribute(std::string_view& name, std::string_view& value) {
    name = readName();
    if (name.empty()) return false;
    skipSpace();
    if (!starts("=")) return false;
    ++p_;
    skipSpace();
    return quoted(value);
  }
  // <?xml version="..." [encoding="..."] [standalone="..."]?>
  bool declaration() {
    static constexpr std::string_view kNames[] = {"version", "encoding", "standalone"};
    p_ += 5;
    size_t next = 0;
    for (;;) {
      const size_t before = p_;
      skipSpace();
      if (starts("?>")) {
        p_ += 2;
        return next > 0;
      }
      std::string_view name, value;
      if (p_ == before || !attribute(name, value)) return false;
      size_t i = next;
      while (i < std::size(kNames) && kNames[i] != name) ++i;
      if (i == std::size(kNames) || (next == 0 && i != 0)) return false;
      if (name == "encoding") encoding_ = PlistText::lowerAscii(value);
      next = i + 1;
    }
  }
  // A comment; the cursor on "<!--". "--" may not appear inside.
  bool comment() {
    const size_t end = s_.find("--", p_ + 4);
    if (end == std::string_view::npos || !s_.substr(end).starts_with("-->")) return false;
    p_ = end + 3;
    return true;
  }
  // A processing instruction other than a declaration; the cursor on "<?".
  bool instruction() {
    p_ += 2;
    if (PlistText::lowerAscii(readName()) == "xml") return false;
    const size_t end = s_.find("?>", p_);
    if (end == std::string_view::npos) return false;
    p_ = end + 2;
    return true;
  }
  // White space, comments and processing instructions.
  bool misc() {
    for (;;) {
      skipSpace();
      if (p_ + 1 >= s_.size() || s_[p_] != '<' || (s_[p_ + 1] != '!' && s_[p_ + 1] != '?'))
        return true;
      if (starts("<!--")) {
        if (!comment()) return false;
      } else if (starts("<?")) {
        if (!instruction()) return false;
      } else {
        return true;
      }
    }
  }
  // <!DOCTYPE ...>, with an internal subset if it declares no entity (an
  // entity could expand without bound; property lists never need one).
  bool doctypeDeclaration() {
    p_ += 9;
    if (p_ >= s_.size() || !PlistText::isSpace(s_[p_])) return false;
    bool subset = false;
    while (p_ < s_.size()) {
      const char c = s_[p_];
      if (c == '"' || c == '\'') {
        const size_t end = s_.find(c, p_ + 1);
        if (end == std::string_view::npos) return false;
        p_ = end + 1;
      } else if (subset && starts("<!--")) {
        if (!comment()) return false;
      } else if (subset && starts("<!ENTITY")) {
        return false;
      } else if (c == '[') {
        if (subset) return false;
        subset = true;
        ++p_;
      } else if (c == ']' && subset) {
        subset = false;
        ++p_;
      } else if (c == '>' && !subset) {
        ++p_;
        return true;
      } else {
        ++p_;
      }
    }
    return false;
  }
  // An entity or character reference at raw[at] ("&"); appends its text and
  // moves `at` past the ";".
  static bool reference(std::string_view raw, size_t& at, std::string& out) {
    const size_t semi = raw.find(';', at);
    if (semi == std::string_view::npos || semi - at > 12) return false;
    const std::string_view ent = raw.substr(at + 1, semi - at - 1);
    at = semi + 1;
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
      const bool hex = ent[1] == 'x';
      const std::string_view digits = ent.substr(hex ? 2 : 1);
      uint32_t cp = 0;
      auto [ptr, ec] =
          std::from_chars(digits.data(), digits.data() + digits.size(), cp, hex ? 16 : 10);
      if (digits.empty() || ec != std::errc() || ptr != digits.data() + digits.size() ||
          !PlistText::isXmlChar(cp))
        return false;
      PlistText::appendUtf8(cp, out);
    } else {
      return false;
    }
    return true;
  }
  // The text of an element up to its closing tag `</name>` (consumed):
  // character data, references, CDATA sections; comments and processing
  // instructions are skipped; a child element is refused.
  bool content(std::string_view name, std::string& out) {
    // Plain text straight up to the closing tag: the common case, copied whole.
    size_t lt = s_.find('<', p_);
    if (lt == std::string_view::npos) return false;
    bool plain = true;
    for (size_t i = p_; i < lt && plain; ++i) plain = s_[i] != '&' && s_[i] != ']';
    const size_t start = p_;
    if (plain && closes(lt, name)) {
      out.assign(s_.substr(start, lt - start));
      return true;
    }
    out.clear();
    for (;;) {
      size_t stop = p_;
      while (stop < s_.size() && s_[stop] != '<' && s_[stop] != '&') {
        if (s_[stop] == ']' && s_.substr(stop, 3) == "]]>") return false;
        ++stop;
      }
      out.append(s_.substr(p_, stop - p_));
      p_ = stop;
      if (p_ >= s_.size()) return false;
      if (s_[p_] == '&') {
        if (!reference(s_, p_, out)) return false;
      } else if (starts("</")) {
        return closes(p_, name);
      } else if (starts("<!--")) {
        if (!comment()) return false;
      } else if (starts("<![CDATA[")) {
        const size_t end = s_.find("]]>", p_ + 9);
        if (end == std::string_view::npos) return false;
        out.append(s_.substr(p_ + 9, end - p_ - 9));
        p_ = end + 3;
      } else if (starts("<?")) {
        if (!instruction()) return false;
      } else {
        return false;
      }
    }
  }
  // True (and the cursor past it) when `</name>` stands at `at`; otherwise
  // the cursor stays where it was.
  bool closes(size_t at, std::string_view name) {
    if (s_.substr(at, 2) != "</" || s_.substr(at + 2, name.size()) != name) return false;
    const size_t save = p_;
    p_ = at + 2 + name.size();
    const size_t afterName = p_;
    const bool longerName = !readName().empty();
    p_ = afterName;
    if (longerName || !closeTag()) {
      p_ = save;
      return false;
    }
    return true;
  }

  enum class Kind { Dict, Array, Key, String, True, False, Data, Integer, Real, Date, Other };
  static Kind kindOf(std::string_view n) {
    switch (n.size()) {
      case 3:
        return n == "key" ? Kind::Key : Kind::Other;
      case 4:
        return n == "dict"   ? Kind::Dict
               : n == "true" ? Kind::True
               : n == "data" ? Kind::Data
               : n == "date" ? Kind::Date
               : n == "real" ? Kind::Real
                             : Kind::Other;
      case 5:
        return n == "array" ? Kind::Array : n == "false" ? Kind::False : Kind::Other;
      case 6:
        return n == "string" ? Kind::String : Kind::Other;
      case 7:
        return n == "integer" ? Kind::Integer : Kind::Other;
      default:
        return Kind::Other;
    }
  }

  bool element(std::string_view name, bool empty) {
    const Kind kind = kindOf(name);
    if (kind == Kind::Other) return false;  // an element property lists don't have
    if (kind == Kind::Dict || kind == Kind::Array) {
      if (frames_.size() >= kPlistMaxDepth) return false;
      frames_.emplace_back(kind == Kind::Dict);
      // Records of the stores have eight or nine keys: one allocation, no regrowth.
      if (kind == Kind::Dict) frames_.back().dict.reserve(8);
      return empty ? closeContainer() : true;
    }
    std::string& text = scratch_;
    if (empty) {
      text.clear();
    } else if (!content(name, text)) {
      return false;
    }
    switch (kind) {
      case Kind::Key: {
        if (frames_.empty() || !frames_.back().isDict || frames_.back().hasKey) return false;
        frames_.back().hasKey = true;
        frames_.back().key.swap(text);
        return true;
      }
      case Kind::String:
        return emit(PlistValue(std::move(text)));
      case Kind::True:
      case Kind::False:
        for (char c : text)
          if (!PlistText::isSpace(c)) return false;
        return emit(PlistValue::boolean(kind == Kind::True));
      case Kind::Data: {
        std::string bytes;
        return PlistText::base64(text, bytes) && emit(PlistValue::data(std::move(bytes)));
      }
      case Kind::Integer: {
        auto i = PlistText::integer(text);
        return i && emit(std::move(*i));
      }
      case Kind::Real: {
        auto d = PlistText::real(text);
        return d && emit(PlistValue::real(*d));
      }
      case Kind::Date: {
        auto d = PlistDate::fromIsoText(text);
        return d && emit(PlistValue::dateSince2001(d->secondsSince2001));
      }
      default:
        return false;
    }
  }

  bool closeContainer() {
    Frame& f = frames_.back();
    if (f.hasKey) return false;  // a key without a value
    PlistValue v = f.isDict ? PlistValue(std::move(f.dict)) : PlistValue(std::move(f.array));
    frames_.pop_back();
    return emit(std::move(v));
  }

  // Hands a finished value to its container (or makes it the root).
  bool emit(PlistValue v) {
    if (frames_.empty()) {
      if (root_) return false;  // one value per document
      root_ = std::move(v);
      return true;
    }
    Frame& f = frames_.back();
    if (!f.isDict) {
      f.array.push_back(std::move(v));
      return true;
    }
    if (!f.hasKey) return false;  // a value without a key
    f.hasKey = false;
    // A repeated key keeps its first place and takes the last value.
    f.dict.set(std::move(f.key), std::move(v));
    f.key.clear();
    return true;
  }

  std::string_view s_;
  size_t p_ = 0;
  std::string encoding_;
  std::vector<Frame> frames_;
  std::string scratch_;
  std::optional<PlistValue> root_;
};

}  // namespace

std::optional<PlistValue> PlistXmlReader::parse(std::string_view bytes) {
  // Decode to UTF-8 first: UTF-16 by its byte-order mark, ISO-8859-1 when the
  // declaration names it; what the declaration says must match what was found.
  std::string decoded;
  bool wide = false;
  if (bytes.starts_with("\xEF\xBB\xBF")) {
    bytes.remove_prefix(3);
  } else if (bytes.starts_with("\xFE\xFF") || bytes.starts_with("\xFF\xFE")) {
    if (!PlistText::utf16ToUtf8(bytes.substr(2), bytes[0] == '\xFE', decoded)) return std::nullopt;
    bytes = decoded;
    wide = true;
  }
  const std::string encoding = declaredEncoding(bytes);
  if (!wide && (encoding == "iso-8859-1" || encoding == "latin1" || encoding == "latin-1")) {
    for (char c : bytes) PlistText::appendUtf8(static_cast<unsigned char>(c), decoded);
    bytes = decoded;
  } else if (!wide && (encoding == "us-ascii" || encoding == "ascii")) {
    for (char c : bytes)
      if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
  } else if (wide ? !(encoding.empty() || encoding.starts_with("utf-16"))
                  : !(encoding.empty() || encoding == "utf-8" || encoding == "utf8")) {
    return std::nullopt;
  }
  if (!PlistText::isXmlText(bytes)) return std::nullopt;
  // Line ends are "\n" to every XML reader: "\r\n" and a lone "\r" become one.
  std::string normalized;
  if (std::memchr(bytes.data(), '\r', bytes.size())) {
    normalized.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (bytes[i] != '\r') {
        normalized += bytes[i];
      } else {
        normalized += '\n';
        if (i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
      }
    }
    bytes = normalized;
  }
  XmlReader reader(bytes);
  auto value = reader.run();
  if (value && reader.encoding() != encoding) return std::nullopt;  // a second declaration?
  return value;
}

}  // namespace quillbox
