// PlistBinaryWriter: the binary form of a property list ("bplist00").
//
// Writes every value exactly: integers in the width plistlib and Apple's tools
// use (16 bytes for 2^63 and above), reals and dates as 8-byte floats, strings
// as ASCII or UTF-16. Refuses text that is not UTF-8, dates outside the years
// 1 to 9999 and more than kPlistMaxDepth levels. None values inside
// containers are written as null objects (what the binary reader reads as
// none); a none value alone is written as an empty dictionary. Builds the
// object table breadth first, without recursion.
//
// Stateless; safe to call from any thread.
#pragma once

#include <optional>
#include <string>

#include "PropertyList/PlistValue.h"

namespace quillbox {

class PlistBinaryWriter {
 public:
  // The whole document; nullopt when the value cannot be written, with the
  // reason in `*why` (when given).
  static std::optional<std::string> write(const PlistValue& value, std::string* why = nullptr);
};

}  // namespace quillbox
