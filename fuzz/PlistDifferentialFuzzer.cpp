// Differential fuzzing of our XML property-list reader against libplist: on
// every input both accept, the values must be the same but for libplist 2.2's
// documented faults (PlistLibplist::equivalent: 64-bit patterns of integers
// of 2^63 and above, octal leading zeros, clamped dates, raw carriage returns).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzCheck.h"
#include "Platform/Files/PropertyList.h"
#include "PropertyList/PlistBinaryReader.h"
#include "PropertyList/Reference/PlistLibplist.h"

using namespace quillbox;
using namespace quillbox::platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (PlistBinaryReader::looksBinary(bytes)) return 0;  // the XML reader only
  auto ours = PropertyList::parseXmlDirect(bytes);
  auto theirs = PlistLibplist::parse(bytes);
  if (!ours || !theirs) return 0;
  if (!PlistLibplist::equivalent(*ours, *theirs)) {
    std::fprintf(stderr, "ours:     %s\nlibplist: %s\n", ours->description().c_str(),
                 theirs->description().c_str());
    FUZZ_CHECK(false, "the XML reader and libplist read the same text differently");
  }
  return 0;
}
