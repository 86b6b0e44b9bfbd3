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
  // zlib and filter settings of a PNG encoding. The defaults are the measured
  // choice for screenshots (see bench/capture_bench.cpp): fast, and within a
  // few per cent of the size a full default encoding gives.
  // kAutoStrategy looks at a sample of rows first: a picture where most pixels
  // repeat their left neighbour (text, flat interface) gets zlib's default
  // strategy, whose string matches find repeated glyphs; any other (photos,
  // gradients, noise) gets Z_RLE, which is faster there and smaller too.
  static constexpr int kAutoStrategy = -1;
  struct PNGOptions {
    int level = 1;                 // zlib level 0..9
    int strategy = kAutoStrategy;  // zlib strategy (0 default, 1 filtered, 3 Z_RLE, ...) or auto
    int filters = 0x10;            // PNG filter mask (NONE 0x08, SUB 0x10, UP 0x20, ...)
  };
  static PNGOptions defaultPNGOptions();

  // The PNG bytes of `img`. A picture whose pixels are all opaque is written as
  // 8-bit RGB, any other as 8-bit RGBA. nullopt (and a log line) for an invalid image.
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
