// PlistXmlWriter: the XML form of a property list, as strict readers take it.
//
// Writes the layout Apple's tools and Python's plistlib write (tab indents,
// "<dict/>" for an empty dictionary, data in Base64 lines, reals as the
// shortest text that reads back to the same number, dates to the second).
// A value that XML 1.0 cannot carry is refused as a whole, never written in a
// form readers reject: text that is not UTF-8 or holds a control character
// other than tab and line ends (a carriage return is written "&#13;" so it
// survives line-end normalisation), a date outside the years 1 to 9999, or
// more than kPlistMaxDepth levels. None values inside containers are left
// out; a none value alone is written as an empty dictionary.
//
// Stateless; safe to call from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "PropertyList/PlistValue.h"

namespace quillbox {

class PlistXmlWriter {
 public:
  // The whole document; nullopt when the value cannot be written, with the
  // reason in `*why` (when given).
  static std::optional<std::string> write(const PlistValue& value, std::string* why = nullptr);
  // The same into `out` (replacing what it held, keeping its capacity: a
  // caller that writes often keeps the pages of one buffer). False when the
  // value cannot be written (`out` then holds nothing useful).
  static bool write(const PlistValue& value, std::string& out, std::string* why = nullptr);
  // The pieces of a document, for writers that put one together themselves
  // (PlistStoreText): what comes before the top value and after it, a value
  // at `depth` levels of indent, a dictionary key at `depth`. The pieces
  // append to `out`; false (with the reason in `*why`) when the value or key
  // cannot be written.
  static constexpr std::string_view kDocumentStart =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST "
      "1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n";
  static constexpr std::string_view kDocumentEnd = "</plist>\n";
  static bool writeValue(const PlistValue& value, size_t depth, std::string& out,
                         std::string* why = nullptr);
  static bool writeKey(const std::string& key, size_t depth, std::string& out,
                       std::string* why = nullptr);
  // What in `text` an XML property list cannot carry, for a message ("the
  // control character U+0007", "bytes that are not UTF-8"): NUL and the C0
  // controls other than tab, line feed and carriage return, U+FFFE, U+FFFF,
  // and invalid UTF-8. nullopt when the text can be written.
  static std::optional<std::string> unwritable(std::string_view text);
};

}  // namespace quillbox
