// PropertyList: reading and writing property-list files.
//
// Reads XML and binary property lists; writes XML. Files are read whole and
// replaced whole, atomically. Safe for concurrent use from any thread.
//
// XML is read by a small strict reader of our own that builds values directly
// (a store of ten thousand records reads several times faster than through
// libplist). Whatever that reader does not fully understand (CDATA, processing
// instructions, unknown entities or elements, odd number forms ...) goes to
// libplist instead, so the value read is always the one libplist gives.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Platform/PlistValue.h"

namespace quillbox::platform {

class PropertyList {
 public:
  // The value of a plist text (XML or binary); nullopt when it isn't one.
  // Values nested more than 512 levels deep read as none values (never a crash);
  // an XML text holding a NUL byte is no property list.
  static std::optional<PlistValue> parse(std::string_view bytes);
  // The same, through libplist alone (the reference the direct reader must equal).
  static std::optional<PlistValue> parseWithLibplist(std::string_view bytes);
  // The direct XML reader alone: nullopt when the text is malformed or uses
  // anything outside the subset it handles (parse then asks libplist).
  static std::optional<PlistValue> parseXmlDirect(std::string_view text);
  // The XML text of a value (a None value gives an empty dictionary).
  static std::string toXml(const PlistValue& value);
  // The binary form (for tests and peers that want it).
  static std::string toBinary(const PlistValue& value);

  // Reads a file. nullopt when it is missing or not a property list; a file that
  // exists but doesn't parse is logged ("plist: unreadable property list %s").
  static std::optional<PlistValue> read(const std::string& path);
  // Reads a file whose top level must be a dictionary; anything else reads as empty.
  static PlistDict readDictionary(const std::string& path);
  // Writes the XML form atomically. Gives true on success.
  static bool write(const std::string& path, const PlistValue& value);
};

}  // namespace quillbox::platform
