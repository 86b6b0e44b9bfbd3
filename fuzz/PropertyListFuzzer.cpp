// Fuzzes PropertyList::parse with XML and binary property lists (the seed
// corpus is heavy on nesting, sharing and range edges). Whatever it reads must
// be writable again: as binary always, as XML unless it holds text XML cannot
// carry; and each form written must read back to the same form: the property
// store replaces its files with exactly that text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzCheck.h"
#include "Platform/Files/PropertyList.h"
#include "PropertyList/PlistXmlWriter.h"

using quillbox::PlistXmlWriter;
using quillbox::platform::PropertyList;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto value = PropertyList::parse(bytes);
  if (!value) return 0;
  const std::string bin = PropertyList::toBinary(*value);
  FUZZ_CHECK(!bin.empty(), "a value that was read cannot be written as binary");
  auto fromBin = PropertyList::parse(bin);
  FUZZ_CHECK(fromBin.has_value(), "the binary written for a parsed value does not parse");
  FUZZ_CHECK(PropertyList::toBinary(*fromBin) == bin, "binary -> parse -> binary is not stable");
  std::string why;
  auto xml = PlistXmlWriter::write(*value, &why);
  if (!xml) {
    FUZZ_CHECK(!why.empty(), "the XML writer refused a value without saying why");
    return 0;
  }
  auto again = PropertyList::parse(*xml);
  FUZZ_CHECK(again.has_value(), "the XML written for a parsed value does not parse");
  FUZZ_CHECK(PropertyList::toXml(*again) == *xml, "XML -> parse -> XML is not stable");
  return 0;
}
