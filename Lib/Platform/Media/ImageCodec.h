// ImageCodec: PNG encoding and decoding, JPEG encoding.
//
// Class operations only; each call is independent, so all of them are safe for
// concurrent use from any thread. Failures are values (nullopt) with a log line;
// malformed input never crashes the process.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Platform/Media/Image.h"

namespace quillbox::platform {

class ImageCodec {
 public:
  // Deflate, filter and thread settings of a PNG encoding (see PNGEncoder).
  // The defaults are the measured choice for screenshots (bench/capture_bench
  // --sweep): fast, and close in size to a full default encoding.
  // kAutoStrategy lets each strip of rows choose from a sample of them: a
  // strip where most pixels repeat their left neighbour (text, flat
  // interface) gets zlib's default strategy, whose string matches find
  // repeated glyphs; a smooth one (gradients) Z_RLE; any other (photos,
  // noise) Huffman codes alone, which are fastest there and as small.
  // A filter mask of several filters lets each strip take the one that
  // suits its rows best.
  static constexpr int kAutoStrategy = -1;
  struct PNGOptions {
    // zlib level 0..9 (2: as fast as 1 on screenshots, and a tenth smaller).
    int level = 2;
    // zlib strategy (0 default, 1 filtered, 2 Huffman codes only, 3 Z_RLE) or auto.
    int strategy = kAutoStrategy;
    // PNG filter mask (NONE 0x08, SUB 0x10, UP 0x20, AVG 0x40, PAETH 0x80).
    int filters = 0x30;
    // Workers, the caller's thread included; 0: one per core (at most 4) for
    // a large picture, the caller's alone for a small one.
    int threads = 0;
    // Rows per strip; 0: about 512 KiB of filtered bytes each (the whole
    // picture when one worker does it).
    int stripRows = 0;
  };
  static PNGOptions defaultPNGOptions();

  // The PNG bytes of `img`. A picture whose pixels are all opaque is written as
  // 8-bit RGB, any other as 8-bit RGBA. nullopt (and a log line) for an invalid image.
  // A large picture is encoded on several threads that are joined before it returns.
  static std::optional<std::string> encodePNG(const Image& img);
  static std::optional<std::string> encodePNG(const Image& img, const PNGOptions& options);

  // Any PNG (palette, gray, 16-bit, with tRNS, interlaced) as RGBA8. nullopt (and a
  // log line) for malformed or truncated input or a picture too large to hold.
  static std::optional<Image> decodePNG(std::string_view bytes);

  // Baseline JPEG of `img` at `quality` (clamped to 1..100). Transparent parts are
  // laid over black, as drawing a premultiplied bitmap would. nullopt on failure.
  static std::optional<std::string> encodeJPEG(const Image& img, int quality);
};

}  // namespace quillbox::platform
