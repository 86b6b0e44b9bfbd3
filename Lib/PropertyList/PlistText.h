// PlistText: the character-level pieces the property-list readers and writers share.
//
// UTF-8 and XML 1.0 character checks, UTF-16 decoding, and the texts of the
// XML form's scalar elements. Stateless; safe to call from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "PropertyList/PlistValue.h"

namespace quillbox {

class PlistText {
 public:
  // The white space of the XML form: space, tab, line feed, carriage return.
  static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
  // `text` with ASCII letters lowered (names of encodings, "inf", "nan").
  static std::string lowerAscii(std::string_view text);
  // A code point XML 1.0 allows in a document: tab, line ends, and everything
  // from U+0020 but surrogates, U+FFFE and U+FFFF.
  static bool isXmlChar(uint32_t cp);
  // True when `text` is well-formed UTF-8 (no overlong forms, no surrogates)
  // made only of XML characters.
  static bool isXmlText(std::string_view text);
  static void appendUtf8(uint32_t cp, std::string& out);
  // UTF-16 code units (two bytes each, in the given order) appended as UTF-8;
  // false for an odd length or a lone surrogate.
  static bool utf16ToUtf8(std::string_view bytes, bool bigEndian, std::string& out);

  // The text of <integer>: optional white space around "[+-]digits" (leading
  // zeros are decimal) or "0x" and hexadecimal digits; nullopt for anything
  // else or a number outside -2^63 ... 2^64-1.
  static std::optional<PlistValue> integer(std::string_view text);
  // The text of <real>: optional white space around a decimal number ("-1.5",
  // "3", ".25", "1e+100") or "inf", "infinity", "nan" (any case, signed); no
  // hexadecimal. Too large reads as infinity, too small as zero.
  static std::optional<double> real(std::string_view text);
  // The text of <data>: standard Base64, white space anywhere, "=" padding
  // completing the last group and nothing after it.
  static bool base64(std::string_view text, std::string& out);
};

}  // namespace quillbox
