// PlistLibplist: property lists read through libplist, the reference our own
// readers are measured and fuzzed against (`make bench`, the differential
// fuzz target, the unit tests). Not used to read the system's files:
// libplist 2.2 clamps dates to 1933..2069, reads "0123" as octal, wraps
// integers of 2^63 and above and makes up values for malformed ones.
//
// Safe to call from any thread.
#pragma once

#include <optional>
#include <string_view>

#include "PropertyList/PlistValue.h"

namespace quillbox {

class PlistLibplist {
 public:
  // The value libplist reads from an XML or binary property list, converted
  // to our value model (containers deeper than kPlistMaxDepth read as none
  // values, as our conversion stops there); nullopt when libplist refuses it.
  // Inputs that would bring libplist itself down are refused before it sees
  // them: binary lists our own reader refuses (a nesting deep enough to
  // exhaust its recursion, strings holding NUL) and XML text holding NUL.
  static std::optional<PlistValue> parse(std::string_view bytes);

  // True when `libplist` (what parse() gave) is `ours` (what our readers gave
  // for the same text) but for libplist 2.2's known faults: integers of 2^63
  // and above read as their 64-bit pattern, decimal digits with a leading zero
  // read as octal, dates beyond its signed 32-bit seconds around 2001 clamped,
  // and line ends in text left as "\r\n" or "\r" where XML makes them "\n"
  // (where a "&#13;" stands beside one, either reading is taken).
  static bool equivalent(const PlistValue& ours, const PlistValue& libplist);
};

}  // namespace quillbox
