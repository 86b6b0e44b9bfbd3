// Fuzzes ImageCodec::decodePNG. The first byte picks how the rest becomes a PNG:
//   even: the rest is a PNG file whose chunk CRCs are set right first (libpng
//         would otherwise refuse nearly every mutation at the first CRC);
//   odd:  the rest describes a picture (header fields, palette, transparency,
//         raw filtered rows) that is packed into a PNG with valid zlib data.
// A decoded picture must be a valid RGBA8 image, and a small one must survive
// an encode/decode round trip unchanged.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "Platform/Media/ImageCodec.h"

using quillbox::platform::Image;
using quillbox::platform::ImageCodec;

namespace {

const char kSignature[] = "\x89PNG\r\n\x1a\n";

void put32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xff);
}
uint32_t get32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
  return v;
}
uint32_t crcOf(const char* p, size_t n) {
  return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(p), static_cast<uInt>(n)));
}

void appendChunk(std::string& out, const char* type, const std::string& body) {
  put32(out, static_cast<uint32_t>(body.size()));
  const size_t start = out.size();
  out.append(type, 4);
  out += body;
  put32(out, crcOf(out.data() + start, out.size() - start));
}

// Rewrites the CRC of every whole chunk after the signature.
std::string withCrcsFixed(std::string png) {
  size_t at = 8;
  while (at + 12 <= png.size()) {
    const uint32_t len = get32(png, at);
    if (len > png.size() - at - 12) break;
    const uint32_t crc = crcOf(png.data() + at + 4, 4 + static_cast<size_t>(len));
    const size_t crcAt = at + 8 + len;
    for (int i = 0; i < 4; ++i) png[crcAt + i] = static_cast<char>((crc >> (24 - 8 * i)) & 0xff);
    at = crcAt + 4;
  }
  return png;
}

// Byte reader that gives zeros once the input is used up.
struct Bytes {
  std::string_view s;
  size_t at = 0;
  uint8_t next() { return at < s.size() ? static_cast<uint8_t>(s[at++]) : 0; }
  std::string_view rest() const { return s.substr(std::min(at, s.size())); }
};

std::string synthesized(std::string_view description) {
  static const uint8_t kColorTypes[] = {0, 2, 3, 4, 6};
  Bytes in{description};
  const uint32_t width = 1 + in.next() % 64;
  const uint32_t height = 1 + in.next() % 64;
  const uint8_t colorType = kColorTypes[in.next() % 5];
  const uint8_t depthChoice = in.next();
  const bool interlaced = (depthChoice & 0x80) != 0;
  uint8_t depth;
  switch (colorType) {
    case 0:
      depth = static_cast<uint8_t>(1u << (depthChoice % 5));
      break;  // 1..16
    case 3:
      depth = static_cast<uint8_t>(1u << (depthChoice % 4));
      break;  // 1..8
    default:
      depth = (depthChoice & 1) ? 16 : 8;
      break;
  }
  const uint8_t paletteEntries = in.next();
  const uint8_t transparent = in.next();

  std::string png(kSignature, 8);
  std::string ihdr;
  put32(ihdr, width);
  put32(ihdr, height);
  ihdr += static_cast<char>(depth);
  ihdr += static_cast<char>(colorType);
  ihdr += '\0';
  ihdr += '\0';
  ihdr += static_cast<char>(interlaced ? 1 : 0);
  appendChunk(png, "IHDR", ihdr);
  if (colorType == 3 || paletteEntries & 0x80) {
    std::string plte;
    for (int i = 0; i < 3 * (1 + paletteEntries % 256); ++i) plte += static_cast<char>(in.next());
    if (colorType != 0 && colorType != 4) appendChunk(png, "PLTE", plte);
  }
  if (transparent & 1) {
    std::string trns;
    const int n = colorType == 3 ? transparent >> 1 : colorType == 2 ? 6 : 2;
    for (int i = 0; i < n; ++i) trns += static_cast<char>(in.next());
    appendChunk(png, "tRNS", trns);
  }
  // The rows as they are: filter bytes and samples from the input, any length.
  const std::string_view raw = in.rest();
  uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
  std::string packed(packedSize, '\0');
  if (compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize,
                reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()),
                1) != Z_OK)
    return png;
  packed.resize(packedSize);
  appendChunk(png, "IDAT", packed);
  appendChunk(png, "IEND", "");
  return png;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string png = (data[0] & 1) ? synthesized(rest) : withCrcsFixed(std::string(rest));
  auto img = ImageCodec::decodePNG(png);
  if (!img) return 0;
  FUZZ_CHECK(img->valid(), "decodePNG gave an invalid image");
  if (static_cast<uint64_t>(img->width) * img->height > 64 * 64) return 0;
  auto encoded = ImageCodec::encodePNG(*img);
  FUZZ_CHECK(encoded.has_value(), "a decoded image does not encode");
  auto back = ImageCodec::decodePNG(*encoded);
  FUZZ_CHECK(back.has_value(), "an encoded image does not decode");
  FUZZ_CHECK(back->width == img->width && back->height == img->height && back->rgba == img->rgba,
             "PNG round trip changed the pixels");
  return 0;
}
