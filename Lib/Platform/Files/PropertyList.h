// PropertyList: reading and writing property-list files.
//
// Reads XML and binary property lists; writes XML. Files are read whole and
// replaced whole, atomically. Safe for concurrent use from any thread.
//
// Both forms are read by strict readers of our own (PlistXmlReader,
// PlistBinaryReader): values come back as other programs meant them (the
// full integer range, dates in the years 1 to 9999, decimal "0123"), and a
// malformed document is refused whole. XML is written by PlistXmlWriter in
// the layout Apple's tools and plistlib write; a value XML cannot carry is
// refused rather than written in a form strict readers reject. libplist
// (PropertyList/Reference/PlistLibplist, linked only by benchmarks, fuzzers
// and tests) stays as the reference the readers are measured against.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Platform/Process/Outcome.h"
#include "PropertyList/PlistValue.h"

namespace quillbox::platform {

class PropertyList {
 public:
  // The value of a plist text (binary when it starts "bplist00", else XML);
  // nullopt when it isn't one.
  static std::optional<PlistValue> parse(std::string_view bytes);
  // The XML reader alone.
  static std::optional<PlistValue> parseXmlDirect(std::string_view text);
  // The XML text of a value (a None value gives an empty dictionary); empty,
  // with a log line, when the value cannot be written (see PlistXmlWriter).
  static std::string toXml(const PlistValue& value);
  // The binary form (for tests and peers that want it); empty, with a log
  // line, when the value cannot be written (see PlistBinaryWriter).
  static std::string toBinary(const PlistValue& value);

  // Reads a file. nullopt when it is missing or not a property list; a file that
  // exists but doesn't parse is logged ("plist: unreadable property list %s").
  static std::optional<PlistValue> read(const std::string& path);
  // Reads a file whose top level must be a dictionary; anything else reads as empty.
  static PlistDict readDictionary(const std::string& path);
  // Writes the XML form atomically (FileSystem::writeAtomically, whose reason
  // a failure returns); a value that cannot be written is logged, leaves the
  // file as it was and fails with the writer's reason.
  static Outcome write(const std::string& path, const PlistValue& value);
};

}  // namespace quillbox::platform
