#include "Platform/Media/Image.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <numeric>

#include "Platform/Media/ForEachIndex.h"

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

// One output size of resizeImages: its taps and its bitmap.
struct Target {
  int width = 0, height = 0;
  std::vector<std::vector<Tap>> xTaps, yTaps;
  float fullWeight = 0;         // the weight of a source row wholly inside an output row
  int from = -1;                // a larger size whose footprints tile ours, made first, or -1
  int group = 1;                // how many of its rows (and columns) one of ours covers
  std::vector<uint8_t> bitmap;  // 32-bit little-endian, premultiplied alpha first
};

// What one band of output rows works in: a row of premultiplied samples (as
// wide as the source) per size, and the vertical pass's scratch.
struct Band {
  std::vector<std::vector<float>> rows;
  std::vector<float> premultiplied;
  std::vector<const uint8_t*> whole;
  std::vector<Tap> others;
};

// Eight bytes, and their eight 16-bit sums (GCC's and Clang's vector extension).
typedef uint8_t Bytes8 __attribute__((vector_size(8)));
typedef uint16_t Sums8 __attribute__((vector_size(16)));

// acc[0..n) += weight * (the sum of the `count` rows), or = when `assign`, the
// rows summed as 16-bit integers (at most 257 rows: 257 * 255 fits) 64 bytes at
// a time, in sums that stay in registers.
void addWholeRows(const uint8_t* const* rows, size_t count, size_t n, float weight, float* acc,
                  bool assign) {
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
    float* out = acc + i0;
    if (assign) {
      for (size_t k = 0; k < kBlock / kLanes; ++k)
        for (size_t e = 0; e < kLanes; ++e) out[k * kLanes + e] = weight * s[k][e];
    } else {
      for (size_t k = 0; k < kBlock / kLanes; ++k)
        for (size_t e = 0; e < kLanes; ++e) out[k * kLanes + e] += weight * s[k][e];
    }
  }
  for (; i0 < n; ++i0) {
    unsigned sum = 0;
    for (size_t r = 0; r < count; ++r) sum += rows[r][i0];
    acc[i0] = (assign ? 0.0f : acc[i0]) + weight * static_cast<float>(sum);
  }
}

// Whether every pixel of a source row is opaque: such a row is its own
// premultiplied form (255 / 255.0f is exactly 1). Each row is looked at once,
// right before the vertical pass reads it (it is then in the cache).
class OpaqueRows {
 public:
  explicit OpaqueRows(const Image& src) : src_(src), known_(src.height, -1) {}
  bool operator()(int j) {
    if (known_[j] < 0) {
      const uint8_t* in = &src_.rgba[static_cast<size_t>(j) * src_.width * 4];
      uint32_t pixels = 0xffffffff;
      for (size_t i = 0; i < static_cast<size_t>(src_.width) * 4; i += 4) {
        uint32_t p;
        std::memcpy(&p, in + i, 4);
        pixels &= p;
      }
      uint8_t alphas;
      std::memcpy(&alphas, reinterpret_cast<const uint8_t*>(&pixels) + 3, 1);
      known_[j] = alphas == 255;
    }
    return known_[j] != 0;
  }

 private:
  const Image& src_;
  std::vector<int8_t> known_;
};

// The vertical pass of one output row into t.row. Shrinking, most source rows
// an output row reads lie wholly inside it and carry the same weight: the
// opaque ones are summed first and weighed once.
void verticalPass(const Image& src, OpaqueRows& opaque, const Target& t, int y,
                  std::vector<float>& row, Band& band) {
  const size_t n = static_cast<size_t>(src.width) * 4;
  float* acc = row.data();
  std::vector<const uint8_t*>& whole = band.whole;
  std::vector<Tap>& others = band.others;
  std::vector<float>& premultiplied = band.premultiplied;
  whole.clear();
  others.clear();
  for (const Tap& tap : t.yTaps[y]) {
    if (opaque(tap.index) && tap.weight == t.fullWeight)
      whole.push_back(&src.rgba[static_cast<size_t>(tap.index) * n]);
    else
      others.push_back(tap);
  }
  // The whole rows' sums set the row; the others add to it.
  if (whole.empty()) std::fill(row.begin(), row.end(), 0.0f);
  for (size_t from = 0; from < whole.size(); from += 257)
    addWholeRows(whole.data() + from, std::min<size_t>(257, whole.size() - from), n, t.fullWeight,
                 acc, from == 0);
  for (const Tap& tap : others) {
    const uint8_t* in = &src.rgba[static_cast<size_t>(tap.index) * n];
    if (opaque(tap.index)) {
      for (size_t i = 0; i < n; ++i) acc[i] += tap.weight * in[i];
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
}

// The horizontal pass of output row y from its samples into the bitmap (B, G,
// R, A bytes with the colours premultiplied).
void horizontalPass(Target& t, const std::vector<float>& row, int y) {
  for (int x = 0; x < t.width; ++x) {
    // A pixel's four samples as one vector: one multiply-add a tap.
    Samples acc = {0, 0, 0, 0};
    for (const Tap& tap : t.xTaps[x]) {
      Samples p;
      std::memcpy(&p, row.data() + static_cast<size_t>(tap.index) * 4, sizeof p);
      acc += tap.weight * p;
    }
    uint8_t* d = &t.bitmap[(static_cast<size_t>(y) * t.width + x) * 4];
    const uint8_t a = toByte(acc[3]);
    d[0] = std::min(toByte(acc[2]), a);
    d[1] = std::min(toByte(acc[1]), a);
    d[2] = std::min(toByte(acc[0]), a);
    d[3] = a;
  }
}

// The image made from a bitmap, back in straight-alpha RGBA.
Image fromBitmap(const Target& t) {
  const std::vector<uint8_t>& bitmap = t.bitmap;
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

// A size whose every output pixel covers exactly `group` by `group` pixels of
// a larger size (both shrinking the source) is made from that size's rows:
// area averages of area averages. The larger sizes are settled first, so a
// size is only ever made from one that is computed from the source.
void findGroups(const Image& src, std::vector<Target>& targets) {
  std::vector<size_t> order(targets.size());
  for (size_t k = 0; k < order.size(); ++k) order[k] = k;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return targets[a].width > targets[b].width; });
  for (size_t i = 0; i < order.size(); ++i) {
    Target& small = targets[order[i]];
    if (small.width <= 0) continue;
    for (size_t j = 0; j < i; ++j) {
      const Target& big = targets[order[j]];
      if (big.from >= 0 || big.width <= small.width || big.width > src.width ||
          big.height > src.height || big.width % small.width || big.height % small.height ||
          big.width / small.width != big.height / small.height)
        continue;
      small.from = static_cast<int>(order[j]);
      small.group = big.width / small.width;
      break;
    }
  }
}

// Output rows [begin, end) of the size `root` and of the sizes made from it,
// row by row, so that a row of samples is still in the cache when the
// horizontal pass and the sizes made from it read it.
void makeRows(const Image& src, std::vector<Target>& targets, size_t root, int begin, int end) {
  const size_t n = static_cast<size_t>(src.width) * 4;
  OpaqueRows opaque(src);
  Band band;
  band.premultiplied.resize(n);
  band.rows.resize(targets.size());
  band.rows[root].resize(n);
  Target& t = targets[root];
  for (int y = begin; y < end; ++y) {
    std::vector<float>& row = band.rows[root];
    verticalPass(src, opaque, t, y, row, band);
    horizontalPass(t, row, y);
    for (size_t k = 0; k < targets.size(); ++k) {
      Target& g = targets[k];
      if (g.from != static_cast<int>(root)) continue;
      std::vector<float>& sum = band.rows[k];
      if (y % g.group == 0) {
        sum.assign(row.begin(), row.end());
      } else {
        for (size_t i = 0; i < n; ++i) sum[i] += row[i];
      }
      if (y % g.group != g.group - 1) continue;
      const float share = 1.0f / static_cast<float>(g.group);
      for (float& v : sum) v *= share;
      horizontalPass(g, sum, y / g.group);
    }
  }
}

// Below this many source bytes the caller's thread resizes alone.
constexpr size_t kParallelFromBytes = 1024 * 1024;

}  // namespace

std::vector<Image> resizeImages(const Image& src, const std::vector<std::pair<int, int>>& sizes) {
  std::vector<Image> out(sizes.size());
  if (!src.valid()) return out;
  std::vector<Target> targets(sizes.size());
  for (size_t k = 0; k < sizes.size(); ++k) {
    const auto [w, h] = sizes[k];
    if (w <= 0 || h <= 0) continue;
    Target& t = targets[k];
    t.width = w;
    t.height = h;
    t.xTaps = weightsFor(src.width, w);
    t.yTaps = weightsFor(src.height, h);
    // (computed as weightsFor computes the weight of a whole source row)
    t.fullWeight = static_cast<float>(1.0 / (static_cast<double>(src.height) / h));
    t.bitmap.assign(static_cast<size_t>(w) * h * 4, 0);
  }
  findGroups(src, targets);
  // Each size computed from the source is cut into bands of rows, one a core;
  // a band ends where a row of every size made from it ends.
  const unsigned cores = src.rgba.size() < kParallelFromBytes ? 1 : coresUpTo(2);
  struct Piece {
    size_t root;
    int begin, end;
  };
  std::vector<Piece> pieces;
  for (size_t k = 0; k < targets.size(); ++k) {
    const Target& t = targets[k];
    if (t.width <= 0 || t.from >= 0) continue;
    int step = 1;
    for (const Target& g : targets)
      if (g.from == static_cast<int>(k)) step = std::lcm(step, g.group);
    const int units = t.height / step;
    for (unsigned c = 0; c < cores; ++c) {
      const int begin = units * static_cast<int>(c) / static_cast<int>(cores) * step;
      const int end = c + 1 == cores
                          ? t.height
                          : units * static_cast<int>(c + 1) / static_cast<int>(cores) * step;
      if (begin < end) pieces.push_back({k, begin, end});
    }
  }
  forEachIndex(pieces.size(), cores, [&](size_t i) {
    makeRows(src, targets, pieces[i].root, pieces[i].begin, pieces[i].end);
  });
  for (size_t k = 0; k < targets.size(); ++k)
    if (targets[k].width > 0) out[k] = fromBitmap(targets[k]);
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
