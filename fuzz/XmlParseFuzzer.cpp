// Fuzzes the XML reply readers (libxml2 with XPath, no DTD loading, no entity
// expansion). The first byte picks the reader; the rest is the reply. A reader
// gives nothing, a dictionary of strings ("phones": an array of dictionaries of
// strings), or raises XmlParseError; any other outcome is a failure.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "FuzzCheck.h"
#include "XmlParse/XmlParse.h"

using quillbox::PlistDict;
using quillbox::PlistValue;
using quillbox::XmlParse;

namespace {

bool stringsOnly(const PlistDict& dict, bool allowPhones) {
  for (const auto& [key, value] : dict) {
    if (value.isString()) continue;
    if (!allowPhones || key != "phones" || !value.isArray()) return false;
    for (const PlistValue& phone : *value.asArray())
      if (!phone.isDict() || !stringsOnly(*phone.asDict(), false)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const int reader = data[0] & 3;
  std::optional<PlistDict> dict;
  try {
    switch (reader) {
      case 0:
        dict = XmlParse::parserToErrorXML(text);
        break;
      case 1:
        dict = XmlParse::parserToXML(text);
        break;
      case 2:
        dict = XmlParse::parserToCreateFile(text);
        break;
      default:
        dict = XmlParse::parserToInitialization(text);
        break;
    }
  } catch (const quillbox::XmlParseError&) {
    return 0;
  }
  if (dict) FUZZ_CHECK(stringsOnly(*dict, reader == 3), "a reply gave a value that is no string");
  // An account reply (recognised by "voiceRemainder") always has "phones".
  if (dict && reader == 3 && dict->contains("voiceRemainder"))
    FUZZ_CHECK(dict->contains("phones"), "an account without \"phones\"");
  return 0;
}
