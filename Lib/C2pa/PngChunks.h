// PngChunks: the chunk layout of a PNG file (ISO/IEC 15948), read and written
// without decoding the image.
//
// A PNG is the 8-byte signature, then chunks of a 4-byte big-endian data
// length, a 4-byte type, the data and a CRC-32 over type and data. list()
// reads the layout of untrusted bytes and refuses (nullopt) a file whose
// signature or chunk lengths are wrong, that doesn't start with IHDR or end
// with IEND. CRCs are checked by chunk() readers, not here.
//
// Stateless; every operation may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillbox {

class PngChunks {
 public:
  struct Chunk {
    std::string type;
    size_t offset = 0;  // of its length field
    size_t length = 0;  // of its data
    size_t size() const { return length + 12; }
  };

  static std::optional<std::vector<Chunk>> list(std::string_view png);
  // The bytes of a chunk of `type` holding `data`, with its CRC.
  static std::string chunk(std::string_view type, std::string_view data);
  // The CRC-32 of PNG (ISO 3309) of `bytes`.
  static uint32_t crc(std::string_view bytes);
};

}  // namespace quillbox
