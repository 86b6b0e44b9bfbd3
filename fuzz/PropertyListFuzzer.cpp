// Fuzzes PropertyList::parse with XML and binary property lists. Whatever it
// reads must be writable again, and the XML it writes must read back to the
// same XML: the property store replaces its files with exactly that text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzCheck.h"
#include "Platform/PropertyList.h"

using quillbox::platform::PropertyList;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto value = PropertyList::parse(bytes);
  if (!value) return 0;
  const std::string xml = PropertyList::toXml(*value);
  auto again = PropertyList::parse(xml);
  FUZZ_CHECK(again.has_value(), "the XML written for a parsed value does not parse");
  FUZZ_CHECK(PropertyList::toXml(*again) == xml, "XML -> parse -> XML is not stable");
  (void)PropertyList::toBinary(*value);
  return 0;
}
