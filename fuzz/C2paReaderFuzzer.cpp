// Fuzzes C2paReader::read and CborValue::decode. The input is the data of a
// caBX chunk that is put, with a good CRC, right after the IHDR of a small
// PNG: what a capture looks like when its manifest store was tampered with.
// The report must be self-consistent; a decoded CBOR item must survive an
// encode/decode round trip.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "C2pa/C2paReader.h"
#include "C2pa/CborValue.h"
#include "C2pa/PngChunks.h"
#include "FuzzCheck.h"

using quillbox::C2paReader;
using quillbox::CborValue;
using quillbox::PngChunks;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view store(reinterpret_cast<const char*>(data), size);
  static const std::string ihdr =
      PngChunks::chunk("IHDR", std::string("\0\0\0\1\0\0\0\1\x08\x06\0\0\0", 13));
  static const std::string tail =
      PngChunks::chunk("IDAT", std::string("\x78\x01\x63\x60\x00\x00\x00\x05\x00\x01", 10)) +
      PngChunks::chunk("IEND", "");
  const std::string png = "\x89PNG\r\n\x1a\n" + ihdr + PngChunks::chunk("caBX", store) + tail;
  C2paReader::Report r = C2paReader::read(png, {});
  FUZZ_CHECK(r.present, "a caBX chunk was not found");
  FUZZ_CHECK(!r.valid() || (r.failures.empty() && r.changed.empty()),
             "a valid report names failures");

  if (auto v = CborValue::decode(store)) {
    auto back = CborValue::decode(v->encode());
    FUZZ_CHECK(back.has_value(), "an encoded CBOR item does not decode");
    FUZZ_CHECK(back->encode() == v->encode(), "CBOR round trip changed the item");
  }
  return 0;
}
