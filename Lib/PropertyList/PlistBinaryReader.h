// PlistBinaryReader: the binary form of a property list ("bplist00"), read strictly.
//
// Reads every object kind the value model carries: booleans, integers of 1 to
// 16 bytes within -2^63 ... 2^64-1, 4- and 8-byte reals, dates (years 1 to
// 9999, to the bit), data, ASCII and UTF-16 strings, arrays and dictionaries
// with string keys; a null object reads as a none value. Anything else - an
// offset or reference out of bounds, a cycle, a UID, a lone surrogate, more
// than kPlistMaxDepth levels, shared objects that would expand to more than
// about 64 times the file's size (plus 4 MiB) - makes the whole document
// unreadable. The object graph is
// walked with an explicit stack: nesting costs heap, never stack, and the time
// taken grows linearly with what is read.
//
// Stateless; safe to call from any thread.
#pragma once

#include <optional>
#include <string_view>

#include "PropertyList/PlistValue.h"

namespace quillbox {

class PlistBinaryReader {
 public:
  // True when the bytes start like a binary property list.
  static bool looksBinary(std::string_view bytes) { return bytes.starts_with("bplist00"); }
  // The value of a binary property list; nullopt when the bytes are not one.
  static std::optional<PlistValue> parse(std::string_view bytes);
};

}  // namespace quillbox
