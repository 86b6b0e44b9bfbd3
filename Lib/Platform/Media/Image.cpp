#include "Platform/Media/Image.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace quillbox::platform {

bool Image::valid() const {
  return width > 0 && height > 0 &&
         rgba.size() == static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
}

namespace {

struct Tap {
  int index;
  float weight;
};

// For each output index, the source indices it reads and their weights (summing to 1).
// Shrinking covers the output pixel's footprint exactly (area average); enlarging
// interpolates linearly between the two nearest source centres.
std::vector<std::vector<Tap>> weightsFor(int in, int out) {
  std::vector<std::vector<Tap>> taps(out);
  const double scale = static_cast<double>(in) / out;
  for (int i = 0; i < out; ++i) {
    auto& t = taps[i];
    if (scale > 1.0) {
      const double lo = i * scale, hi = (i + 1) * scale;
      for (int j = static_cast<int>(std::floor(lo)); j < in && j < hi; ++j) {
        const double w = std::min<double>(j + 1, hi) - std::max<double>(j, lo);
        if (w > 1e-9) t.push_back({j, static_cast<float>(w / scale)});
      }
    } else {
      const double c = std::clamp((i + 0.5) * scale - 0.5, 0.0, static_cast<double>(in - 1));
      const int j0 = static_cast<int>(std::floor(c));
      const int j1 = std::min(j0 + 1, in - 1);
      const float f = static_cast<float>(c - j0);
      t.push_back({j0, 1.0f - f});
      if (j1 != j0 && f > 0.0f) t.push_back({j1, f});
    }
  }
  return taps;
}

uint8_t toByte(float v) {
  return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

Image rotatedClockwise(const Image& src) {
  Image r;
  r.width = src.height;
  r.height = src.width;
  r.rgba.resize(src.rgba.size());
  for (int y = 0; y < r.height; ++y) {
    for (int x = 0; x < r.width; ++x) {
      // The new pixel (x, y) shows the source's row height-1-x, column y.
      const size_t s = (static_cast<size_t>(src.height - 1 - x) * src.width + y) * 4;
      const size_t d = (static_cast<size_t>(y) * r.width + x) * 4;
      std::copy_n(&src.rgba[s], 4, &r.rgba[d]);
    }
  }
  return r;
}

}  // namespace

Image resizeImage(const Image& src, int width, int height) {
  if (width <= 0 || height <= 0 || !src.valid()) return {};
  const auto xTaps = weightsFor(src.width, width);
  const auto yTaps = weightsFor(src.height, height);

  // Horizontal pass over premultiplied samples: src.height rows of `width` pixels.
  std::vector<float> rows(static_cast<size_t>(src.height) * width * 4);
  for (int y = 0; y < src.height; ++y) {
    const uint8_t* in = &src.rgba[static_cast<size_t>(y) * src.width * 4];
    float* out = &rows[static_cast<size_t>(y) * width * 4];
    for (int x = 0; x < width; ++x) {
      float acc[4] = {0, 0, 0, 0};
      for (const Tap& t : xTaps[x]) {
        const uint8_t* p = in + static_cast<size_t>(t.index) * 4;
        const float a = p[3] / 255.0f;
        acc[0] += t.weight * p[0] * a;
        acc[1] += t.weight * p[1] * a;
        acc[2] += t.weight * p[2] * a;
        acc[3] += t.weight * p[3];
      }
      std::copy_n(acc, 4, out + static_cast<size_t>(x) * 4);
    }
  }

  // Vertical pass into the bitmap: 32-bit little-endian, premultiplied alpha first,
  // i.e. B, G, R, A bytes in memory with the colours premultiplied.
  std::vector<uint8_t> bitmap(static_cast<size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      float acc[4] = {0, 0, 0, 0};
      for (const Tap& t : yTaps[y]) {
        const float* p = &rows[(static_cast<size_t>(t.index) * width + x) * 4];
        for (int c = 0; c < 4; ++c) acc[c] += t.weight * p[c];
      }
      uint8_t* d = &bitmap[(static_cast<size_t>(y) * width + x) * 4];
      const uint8_t a = toByte(acc[3]);
      d[0] = std::min(toByte(acc[2]), a);
      d[1] = std::min(toByte(acc[1]), a);
      d[2] = std::min(toByte(acc[0]), a);
      d[3] = a;
    }
  }

  // The image made from the bitmap, back in straight-alpha RGBA.
  Image out;
  out.width = width;
  out.height = height;
  out.rgba.resize(bitmap.size());
  for (size_t i = 0; i < bitmap.size(); i += 4) {
    const uint8_t a = bitmap[i + 3];
    uint8_t* d = &out.rgba[i];
    if (a == 0) {
      d[0] = d[1] = d[2] = d[3] = 0;
      continue;
    }
    d[0] = static_cast<uint8_t>((bitmap[i + 2] * 255 + a / 2) / a);
    d[1] = static_cast<uint8_t>((bitmap[i + 1] * 255 + a / 2) / a);
    d[2] = static_cast<uint8_t>((bitmap[i + 0] * 255 + a / 2) / a);
    d[3] = a;
  }
  return out;
}

Image resizeImageRotatedClockwise(const Image& src, int width, int height) {
  if (width <= 0 || height <= 0 || !src.valid()) return {};
  return resizeImage(rotatedClockwise(src), width, height);
}

}  // namespace quillbox::platform
