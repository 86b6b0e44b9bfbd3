#include "Platform/Media/ScreenComposer.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace quillbox::platform {
namespace {

constexpr uint32_t fourcc(char a, char b, char c, char d) {
  return static_cast<uint32_t>(a) | static_cast<uint32_t>(b) << 8 | static_cast<uint32_t>(c) << 16 |
         static_cast<uint32_t>(d) << 24;
}

// wl_shm's two formats of its own, and the DRM codes it uses for the rest.
constexpr uint32_t kARGB8888 = 0;
constexpr uint32_t kXRGB8888 = 1;
constexpr uint32_t kABGR8888 = fourcc('A', 'B', '2', '4');
constexpr uint32_t kXBGR8888 = fourcc('X', 'B', '2', '4');
constexpr uint32_t kRGBA8888 = fourcc('R', 'A', '2', '4');
constexpr uint32_t kRGBX8888 = fourcc('R', 'X', '2', '4');
constexpr uint32_t kBGRA8888 = fourcc('B', 'A', '2', '4');
constexpr uint32_t kBGRX8888 = fourcc('B', 'X', '2', '4');
constexpr uint32_t kRGB888 = fourcc('R', 'G', '2', '4');
constexpr uint32_t kBGR888 = fourcc('B', 'G', '2', '4');
constexpr uint32_t kRGB565 = fourcc('R', 'G', '1', '6');
constexpr uint32_t kXRGB2101010 = fourcc('X', 'R', '3', '0');
constexpr uint32_t kARGB2101010 = fourcc('A', 'R', '3', '0');
constexpr uint32_t kXBGR2101010 = fourcc('X', 'B', '3', '0');
constexpr uint32_t kABGR2101010 = fourcc('A', 'B', '3', '0');

// Where red, green and blue sit among the bytes of a pixel of a byte-aligned format.
struct ByteLayout {
  int size, r, g, b;
};

std::optional<ByteLayout> byteLayout(uint32_t format) {
  // The formats are named by their bits in a little-endian word, highest
  // first: XRGB8888 is B, G, R, X in memory.
  switch (format) {
    case kARGB8888:
    case kXRGB8888:
      return ByteLayout{4, 2, 1, 0};
    case kABGR8888:
    case kXBGR8888:
      return ByteLayout{4, 0, 1, 2};
    case kRGBA8888:
    case kRGBX8888:
      return ByteLayout{4, 3, 2, 1};
    case kBGRA8888:
    case kBGRX8888:
      return ByteLayout{4, 1, 2, 3};
    case kRGB888:
      return ByteLayout{3, 2, 1, 0};
    case kBGR888:
      return ByteLayout{3, 0, 1, 2};
    default:
      return std::nullopt;
  }
}

int bytesPerPixel(uint32_t format) {
  if (auto l = byteLayout(format)) return l->size;
  switch (format) {
    case kRGB565:
      return 2;
    case kXRGB2101010:
    case kARGB2101010:
    case kXBGR2101010:
    case kABGR2101010:
      return 4;
    default:
      return 0;
  }
}

uint32_t le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void convertRow(const uint8_t* s, uint8_t* d, int width, uint32_t format) {
  if (auto l = byteLayout(format)) {
    for (int x = 0; x < width; ++x, s += l->size, d += 4) {
      d[0] = s[l->r];
      d[1] = s[l->g];
      d[2] = s[l->b];
      d[3] = 255;
    }
    return;
  }
  for (int x = 0; x < width; ++x, d += 4) {
    if (format == kRGB565) {
      const unsigned v = s[0] | s[1] << 8;
      s += 2;
      const unsigned r = v >> 11, g = (v >> 5) & 63, b = v & 31;
      d[0] = static_cast<uint8_t>(r << 3 | r >> 2);
      d[1] = static_cast<uint8_t>(g << 2 | g >> 4);
      d[2] = static_cast<uint8_t>(b << 3 | b >> 2);
    } else {
      // 2:10:10:10: the top eight bits of each ten.
      const uint32_t v = le32(s);
      s += 4;
      const uint8_t hi = static_cast<uint8_t>(v >> 22), mid = static_cast<uint8_t>(v >> 12),
                    lo = static_cast<uint8_t>(v >> 2);
      const bool rgb = format == kXRGB2101010 || format == kARGB2101010;
      d[0] = rgb ? hi : lo;
      d[1] = mid;
      d[2] = rgb ? lo : hi;
    }
    d[3] = 255;
  }
}

}  // namespace

bool ScreenComposer::handlesFormat(uint32_t format) {
  return bytesPerPixel(format) > 0;
}

std::optional<Image> ScreenComposer::fromShm(const uint8_t* data, size_t bytes, uint32_t format,
                                             int width, int height, int stride, bool yInvert) {
  const int bpp = bytesPerPixel(format);
  if (bpp == 0 || width <= 0 || height <= 0 || stride < width * bpp) return std::nullopt;
  if (static_cast<size_t>(stride) * (height - 1) + static_cast<size_t>(width) * bpp > bytes)
    return std::nullopt;
  Image img;
  img.width = width;
  img.height = height;
  img.rgba.resize(static_cast<size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    const int from = yInvert ? height - 1 - y : y;
    convertRow(data + static_cast<size_t>(from) * stride,
               &img.rgba[static_cast<size_t>(y) * width * 4], width, format);
  }
  return img;
}

std::string ScreenComposer::transformName(int32_t transform) {
  static const char* const names[] = {"normal",  "90",         "180",         "270",
                                      "flipped", "flipped-90", "flipped-180", "flipped-270"};
  return transform >= 0 && transform < 8 ? names[transform] : names[0];
}

Image ScreenComposer::upright(Image buffer, int32_t transform) {
  if (transform <= kNormal || transform > kFlipped270) return buffer;
  const bool flipped = transform >= kFlipped;
  const int quarter = transform % 4;
  const int bw = buffer.width, bh = buffer.height;
  Image out;
  out.width = quarter % 2 ? bh : bw;
  out.height = quarter % 2 ? bw : bh;
  out.rgba.resize(buffer.rgba.size());
  // The buffer holds the upright picture mirrored left to right (the flipped
  // transforms) and then turned counter-clockwise by the transform's angle;
  // each upright pixel is fetched from where that put it.
  for (int y = 0; y < out.height; ++y) {
    for (int ux = 0; ux < out.width; ++ux) {
      const int x = flipped ? out.width - 1 - ux : ux;
      int bx = x, by = y;
      if (quarter == 1) {
        bx = y, by = bh - 1 - x;
      } else if (quarter == 2) {
        bx = bw - 1 - x, by = bh - 1 - y;
      } else if (quarter == 3) {
        bx = bw - 1 - y, by = x;
      }
      std::memcpy(&out.rgba[(static_cast<size_t>(y) * out.width + ux) * 4],
                  &buffer.rgba[(static_cast<size_t>(by) * bw + bx) * 4], 4);
    }
  }
  return out;
}

void ScreenComposer::flattenOverBlack(Image& img) {
  for (size_t i = 0; i + 3 < img.rgba.size(); i += 4) {
    const unsigned a = img.rgba[i + 3];
    if (a == 255) continue;
    for (int c = 0; c < 3; ++c)
      img.rgba[i + c] = static_cast<uint8_t>((img.rgba[i + c] * a + 127) / 255);
    img.rgba[i + 3] = 255;
  }
}

Image ScreenComposer::compose(std::vector<Piece> pieces, double* scale) {
  pieces.erase(std::remove_if(pieces.begin(), pieces.end(),
                              [](const Piece& p) {
                                return !p.image.valid() || p.width <= 0 || p.height <= 0;
                              }),
               pieces.end());
  if (scale) *scale = 1.0;
  if (pieces.empty()) return {};
  int left = INT_MAX, top = INT_MAX, right = INT_MIN, bottom = INT_MIN;
  double s = 0;
  for (const auto& p : pieces) {
    left = std::min(left, p.x);
    top = std::min(top, p.y);
    right = std::max(right, p.x + p.width);
    bottom = std::max(bottom, p.y + p.height);
    s = std::max(s, std::max(static_cast<double>(p.image.width) / p.width,
                             static_cast<double>(p.image.height) / p.height));
  }
  if (scale) *scale = s;
  auto at = [s](int logical) { return static_cast<int>(std::lround(logical * s)); };
  const int width = at(right - left), height = at(bottom - top);
  // One output that fills the picture at its own density is the picture.
  if (pieces.size() == 1 && pieces[0].image.width == width && pieces[0].image.height == height)
    return std::move(pieces[0].image);

  Image out;
  out.width = width;
  out.height = height;
  out.rgba.assign(static_cast<size_t>(width) * height * 4, 0);
  for (size_t i = 3; i < out.rgba.size(); i += 4) out.rgba[i] = 255;
  for (const auto& p : pieces) {
    const int x0 = at(p.x - left), y0 = at(p.y - top);
    const int w = std::min(at(p.x - left + p.width), width) - x0;
    const int h = std::min(at(p.y - top + p.height), height) - y0;
    const Image& src = p.image;
    for (int y = 0; y < h; ++y) {
      uint8_t* d = &out.rgba[(static_cast<size_t>(y0 + y) * width + x0) * 4];
      if (src.width == w && src.height == h) {
        std::memcpy(d, &src.rgba[static_cast<size_t>(y) * w * 4], static_cast<size_t>(w) * 4);
        continue;
      }
      // Another density: the nearest source pixel (the picture keeps the
      // outputs' own pixels where it can, and never blends two of them).
      const int sy = std::min(src.height - 1, static_cast<int>((y + 0.5) * src.height / h));
      for (int x = 0; x < w; ++x, d += 4) {
        const int sx = std::min(src.width - 1, static_cast<int>((x + 0.5) * src.width / w));
        std::memcpy(d, &src.rgba[(static_cast<size_t>(sy) * src.width + sx) * 4], 4);
      }
    }
  }
  return out;
}

}  // namespace quillbox::platform
