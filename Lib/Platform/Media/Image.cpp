#include "Platform/Media/Image.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

namespace quillbox::platform {

bool Image::valid() const {
  return width > 0 && height > 0 &&
         rgba.size() == static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
}

namespace {

// The four samples of a pixel (GCC's and Clang's vector extension).
typedef float Samples __attribute__((vector_size(16)));

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

// One output size of resizeImages: its taps, and its columns of premultiplied
// samples after the vertical pass (height rows of the source's width).
struct Target {
  int width = 0, height = 0;
  std::vector<std::vector<Tap>> xTaps, yTaps;
  float fullWeight = 0;  // the weight of a source row wholly inside an output row
  std::vector<float> cols;
};

// Eight bytes, and their eight 16-bit sums (GCC's and Clang's vector extension).
typedef uint8_t Bytes8 __attribute__((vector_size(8)));
typedef uint16_t Sums8 __attribute__((vector_size(16)));

// acc[0..n) += weight * (the sum of the `count` rows), the rows summed as
// 16-bit integers (at most 257 rows: 257 * 255 fits) 64 bytes at a time, in
// sums that stay in registers.
void addWholeRows(const uint8_t* const* rows, size_t count, size_t n, float weight, float* acc) {
  constexpr size_t kBlock = 64, kLanes = 8;
  size_t i0 = 0;
  for (; i0 + kBlock <= n; i0 += kBlock) {
    Sums8 s[kBlock / kLanes] = {};
    for (size_t r = 0; r < count; ++r) {
      for (size_t k = 0; k < kBlock / kLanes; ++k) {
        Bytes8 b;
        std::memcpy(&b, rows[r] + i0 + k * kLanes, sizeof b);
        s[k] += __builtin_convertvector(b, Sums8);
      }
    }
    for (size_t k = 0; k < kBlock / kLanes; ++k)
      for (size_t e = 0; e < kLanes; ++e) acc[i0 + k * kLanes + e] += weight * s[k][e];
  }
  for (; i0 < n; ++i0) {
    unsigned sum = 0;
    for (size_t r = 0; r < count; ++r) sum += rows[r][i0];
    acc[i0] += weight * static_cast<float>(sum);
  }
}

// The vertical pass of one size. Shrinking, most source rows an output row
// reads lie wholly inside it and carry the same weight: the opaque ones are
// summed first and weighed once.
void verticalPass(const Image& src, const std::vector<uint8_t>& rowOpaque, Target& t) {
  const size_t n = static_cast<size_t>(src.width) * 4;
  std::vector<float> premultiplied(n);
  std::vector<const uint8_t*> whole;
  for (int y = 0; y < t.height; ++y) {
    float* acc = &t.cols[static_cast<size_t>(y) * n];
    whole.clear();
    for (const Tap& tap : t.yTaps[y]) {
      const uint8_t* in = &src.rgba[static_cast<size_t>(tap.index) * n];
      if (rowOpaque[tap.index]) {
        if (tap.weight == t.fullWeight) {
          whole.push_back(in);
        } else {
          for (size_t i = 0; i < n; ++i) acc[i] += tap.weight * in[i];
        }
        continue;
      }
      for (size_t i = 0; i < n; i += 4) {
        const float a = in[i + 3] / 255.0f;
        premultiplied[i] = in[i] * a;
        premultiplied[i + 1] = in[i + 1] * a;
        premultiplied[i + 2] = in[i + 2] * a;
        premultiplied[i + 3] = in[i + 3];
      }
      for (size_t i = 0; i < n; ++i) acc[i] += tap.weight * premultiplied[i];
    }
    for (size_t from = 0; from < whole.size(); from += 257)
      addWholeRows(whole.data() + from, std::min<size_t>(257, whole.size() - from), n, t.fullWeight,
                   acc);
  }
}

// The horizontal pass into the bitmap (32-bit little-endian, premultiplied
// alpha first: B, G, R, A bytes with the colours premultiplied), and the image
// made from it, back in straight-alpha RGBA.
Image finish(const Target& t, size_t n) {
  std::vector<uint8_t> bitmap(static_cast<size_t>(t.width) * t.height * 4);
  for (int y = 0; y < t.height; ++y) {
    const float* row = &t.cols[static_cast<size_t>(y) * n];
    for (int x = 0; x < t.width; ++x) {
      // A pixel's four samples as one vector: one multiply-add a tap.
      Samples acc = {0, 0, 0, 0};
      for (const Tap& tap : t.xTaps[x]) {
        Samples p;
        std::memcpy(&p, row + static_cast<size_t>(tap.index) * 4, sizeof p);
        acc += tap.weight * p;
      }
      uint8_t* d = &bitmap[(static_cast<size_t>(y) * t.width + x) * 4];
      const uint8_t a = toByte(acc[3]);
      d[0] = std::min(toByte(acc[2]), a);
      d[1] = std::min(toByte(acc[1]), a);
      d[2] = std::min(toByte(acc[0]), a);
      d[3] = a;
    }
  }
  Image out;
  out.width = t.width;
  out.height = t.height;
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

}  // namespace

std::vector<Image> resizeImages(const Image& src, const std::vector<std::pair<int, int>>& sizes) {
  std::vector<Image> out(sizes.size());
  if (!src.valid()) return out;
  const size_t n = static_cast<size_t>(src.width) * 4;
  // Which source rows are opaque: such a row is its own premultiplied form
  // (255 / 255.0f is exactly 1). Read once for all sizes.
  std::vector<uint8_t> rowOpaque(src.height);
  for (int j = 0; j < src.height; ++j) {
    const uint8_t* in = &src.rgba[static_cast<size_t>(j) * n];
    uint32_t pixels = 0xffffffff;
    for (size_t i = 0; i < n; i += 4) {
      uint32_t p;
      std::memcpy(&p, in + i, 4);
      pixels &= p;
    }
    uint8_t alphas;
    std::memcpy(&alphas, reinterpret_cast<const uint8_t*>(&pixels) + 3, 1);
    rowOpaque[j] = alphas == 255;
  }
  for (size_t k = 0; k < sizes.size(); ++k) {
    const auto [w, h] = sizes[k];
    if (w <= 0 || h <= 0) continue;
    Target t;
    t.width = w;
    t.height = h;
    t.xTaps = weightsFor(src.width, w);
    t.yTaps = weightsFor(src.height, h);
    // (computed as weightsFor computes the weight of a whole source row)
    t.fullWeight = static_cast<float>(1.0 / (static_cast<double>(src.height) / h));
    t.cols.assign(static_cast<size_t>(h) * n, 0.0f);
    verticalPass(src, rowOpaque, t);
    out[k] = finish(t, n);
  }
  return out;
}

Image resizeImage(const Image& src, int width, int height) {
  return std::move(resizeImages(src, {{width, height}})[0]);
}

std::vector<Image> resizeImagesRotatedClockwise(const Image& src,
                                                const std::vector<std::pair<int, int>>& sizes) {
  if (!src.valid()) return std::vector<Image>(sizes.size());
  return resizeImages(rotatedClockwise(src), sizes);
}

Image resizeImageRotatedClockwise(const Image& src, int width, int height) {
  if (width <= 0 || height <= 0 || !src.valid()) return {};
  return resizeImage(rotatedClockwise(src), width, height);
}

}  // namespace quillbox::platform
