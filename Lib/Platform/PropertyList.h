// PropertyList: reading and writing property-list files.
//
// Reads XML and binary property lists (libplist); writes XML. Files are read
// whole and replaced whole, atomically. Safe for concurrent use from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Platform/PlistValue.h"

namespace quillbox::platform {

class PropertyList {
 public:
  // The value of a plist text (XML or binary); nullopt when it isn't one.
  static std::optional<PlistValue> parse(std::string_view bytes);
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
