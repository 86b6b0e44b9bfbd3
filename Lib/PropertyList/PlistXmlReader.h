// PlistXmlReader: the XML form of a property list, read strictly.
//
// Reads what XML 1.0 and the property-list vocabulary allow: UTF-8 with or
// without a byte-order mark, UTF-16 with one, ISO-8859-1 and US-ASCII when the
// declaration names them; comments, processing instructions, CDATA sections,
// character references and a document type without entity declarations.
// Integers are decimal (leading zeros too) or "0x" hexadecimal, from -2^63 to
// 2^64-1; dates are "YYYY-MM-DDTHH:MM:SSZ" in the years 1 to 9999. Anything
// else - a malformed value, an unknown element, text after the document, more
// than kPlistMaxDepth levels - makes the whole document unreadable: never a
// made-up value. One forward pass with explicit stacks, so nesting costs heap,
// not stack, and the time taken grows linearly with the size.
//
// Stateless; safe to call from any thread.
#pragma once

#include <optional>
#include <string_view>

#include "PropertyList/PlistValue.h"

namespace quillbox {

class PlistXmlReader {
 public:
  // The value of an XML property list; nullopt when the text is not one.
  static std::optional<PlistValue> parse(std::string_view bytes);
};

}  // namespace quillbox
