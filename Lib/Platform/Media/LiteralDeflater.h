// LiteralDeflater: deflate of data that has no repeats worth finding.
//
// Codes every byte as a literal with a Huffman code made for the data (one
// dynamic block, RFC 1951), as zlib's Z_HUFFMAN_ONLY does, without looking for
// matches at all: several times faster than zlib on photo-like pictures, and
// as small. The output is raw deflate that ends on a byte boundary with
// nothing pending: after a non-final block, the empty stored block of a full
// flush; so it can be followed by any other raw deflate data, and a decoder
// keeps the bytes before it as its window.
//
// Class operations only, safe for concurrent use from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillbox::platform {

class LiteralDeflater {
 public:
  // The most bytes write() may give for `size` bytes of data.
  static size_t bound(size_t size);
  // Writes the deflate blocks that hold data[0..size) to out (room for
  // bound(size) bytes) and gives how many it wrote; `last` marks the final
  // block of the stream.
  static size_t write(const uint8_t* data, size_t size, bool last, uint8_t* out);

  LiteralDeflater() = delete;
};

}  // namespace quillbox::platform
