#include "Platform/Media/PNGEncoder.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "Platform/Media/ForEachIndex.h"
#include "Platform/Media/LiteralDeflater.h"

namespace quillbox::platform {
namespace {

// Filtered bytes per strip: large enough that the flush and the fresh start
// of each strip cost nothing measurable, small enough that two workers share
// a screenshot evenly (about a dozen strips for 1920x1080).
constexpr size_t kStripBytes = 512 * 1024;
// Below this many filtered bytes a picture is one strip on the caller's thread.
constexpr size_t kParallelFromBytes = 256 * 1024;
// A strip on its own: zlib takes at most 4 GiB in one call, a PNG chunk 2 GiB.
constexpr size_t kMaxStripBytes = size_t{1} << 28;
constexpr size_t kMaxChunkBytes = 0x7fffffff;
constexpr unsigned kMaxWorkers = 4;
constexpr int kSampleRows = 4;  // rows of a strip that decide its filter and strategy
// Above this share of sampled pixels repeating their left neighbour a strip
// counts as text-like (string matches find its repeated glyphs); below it, a
// strip whose filtered sample is mostly zeros has runs for Z_RLE, any other
// (photo-like) is coded by Huffman codes alone, which is fastest there and as small.
constexpr double kRepeatedShareForText = 0.5;
constexpr double kZeroShareForRuns = 0.3;

// PNG filter types, and libpng's mask bits that ask for them.
enum FilterType : uint8_t { kNone = 0, kSub = 1, kUp = 2, kAverage = 3, kPaeth = 4 };
constexpr int kMaskOf[] = {0x08, 0x10, 0x20, 0x40, 0x80};

void put32(std::string& out, uint32_t v) {
  const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                     static_cast<char>(v >> 8), static_cast<char>(v)};
  out.append(b, 4);
}

// Appends one chunk: length, type, data, CRC of type and data.
void appendChunk(std::string& out, const char* type, const std::string& data) {
  put32(out, static_cast<uint32_t>(data.size()));
  out.append(type, 4);
  out += data;
  const uint32_t crc = libdeflate_crc32(libdeflate_crc32(0, type, 4), data.data(), data.size());
  put32(out, crc);
}

int paeth(int a, int b, int c) {
  const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  if (pa <= pb && pa <= pc) return a;
  return pb <= pc ? b : c;
}

// One row filtered with `type` into out[0..width*BPP). `cur` and `prev` are
// RGBA rows (prev null for the first row of the picture); BPP 3 drops alpha.
// Each filter has a loop of its own, so that the common ones vectorise.
template <int BPP>
void filterRow(uint8_t type, const uint8_t* cur, const uint8_t* prev, int width, uint8_t* out) {
  const size_t w = static_cast<size_t>(width);
  if (!prev && (type == kUp || type == kPaeth)) type = type == kUp ? kNone : kSub;
  switch (type) {
    case kNone:
      for (size_t x = 0; x < w; ++x)
        for (int i = 0; i < BPP; ++i) out[BPP * x + i] = cur[4 * x + i];
      return;
    case kSub:
      for (int i = 0; i < BPP; ++i) out[i] = cur[i];
      for (size_t x = 1; x < w; ++x)
        for (int i = 0; i < BPP; ++i)
          out[BPP * x + i] = static_cast<uint8_t>(cur[4 * x + i] - cur[4 * x - 4 + i]);
      return;
    case kUp:
      for (size_t x = 0; x < w; ++x)
        for (int i = 0; i < BPP; ++i)
          out[BPP * x + i] = static_cast<uint8_t>(cur[4 * x + i] - prev[4 * x + i]);
      return;
    case kAverage:
      for (size_t x = 0; x < w; ++x)
        for (int i = 0; i < BPP; ++i) {
          const int a = x ? cur[4 * x - 4 + i] : 0, b = prev ? prev[4 * x + i] : 0;
          out[BPP * x + i] = static_cast<uint8_t>(cur[4 * x + i] - ((a + b) >> 1));
        }
      return;
    default:
      for (int i = 0; i < BPP; ++i) out[i] = static_cast<uint8_t>(cur[i] - prev[i]);
      for (size_t x = 1; x < w; ++x)
        for (int i = 0; i < BPP; ++i)
          out[BPP * x + i] = static_cast<uint8_t>(
              cur[4 * x + i] - paeth(cur[4 * x - 4 + i], prev[4 * x + i], prev[4 * x - 4 + i]));
      return;
  }
}

struct Layout {
  const Image* img = nullptr;
  int bpp = 4;
  size_t rowBytes = 0;  // filtered bytes of a row, its filter-type byte included
  int rowsPerStrip = 0;
  size_t strips = 0;
};

struct Strip {
  int firstRow = 0, rows = 0;
  uint8_t filter = kNone;
  int strategy = Z_DEFAULT_STRATEGY;
  uLong adler = 1;
  size_t filteredSize = 0;
  // Its deflate output; not value-initialised: most of the room is never touched.
  std::unique_ptr<uint8_t[]> deflated;
  size_t deflatedSize = 0;
  bool ok = false;
};

const uint8_t* rowOf(const Image& img, int y) {
  return &img.rgba[static_cast<size_t>(y) * img.width * 4];
}

void filterInto(const Layout& l, uint8_t type, int y, uint8_t* out) {
  const uint8_t* prev = y ? rowOf(*l.img, y - 1) : nullptr;
  out[0] = type;
  if (l.bpp == 3)
    filterRow<3>(type, rowOf(*l.img, y), prev, l.img->width, out + 1);
  else
    filterRow<4>(type, rowOf(*l.img, y), prev, l.img->width, out + 1);
}

// Chooses the strip's filter (least sum of absolute filtered values over the
// sampled rows, the usual estimate of what codes smallest) and, when asked
// to, its deflate strategy.
void choose(const Layout& l, const ImageCodec::PNGOptions& o, Strip& s) {
  std::vector<int> rows;
  const int samples = std::min(s.rows, kSampleRows);
  rows.reserve(static_cast<size_t>(samples));
  for (int i = 0; i < samples; ++i) rows.push_back(s.firstRow + i * s.rows / samples);
  std::vector<uint8_t> buf(l.rowBytes);
  std::vector<uint8_t> candidates;
  for (uint8_t t = kNone; t <= kPaeth; ++t)
    if (o.filters & kMaskOf[t]) candidates.push_back(t);
  if (candidates.empty()) candidates.push_back(kNone);
  uint64_t best = UINT64_MAX, bestZeros = 0;
  for (uint8_t t : candidates) {
    uint64_t sum = 0, zeros = 0;
    for (int y : rows) {
      filterInto(l, t, y, buf.data());
      for (size_t i = 1; i < l.rowBytes; ++i) {
        // The byte as a signed difference (-128..127): small either way is good.
        const int v = buf[i] < 128 ? buf[i] : buf[i] - 256;
        sum += static_cast<uint64_t>(std::abs(v));
        zeros += v == 0;
      }
    }
    if (candidates.size() == 1 || sum < best) {
      best = sum;
      bestZeros = zeros;
      s.filter = t;
    }
  }
  if (o.strategy != ImageCodec::kAutoStrategy) {
    s.strategy = o.strategy;
    return;
  }
  size_t same = 0, seen = 0;
  const int w = l.img->width;
  for (int y : rows) {
    const uint8_t* r = rowOf(*l.img, y);
    for (int x = 1; x < w; ++x) same += std::memcmp(r + 4 * x, r + 4 * (x - 1), 4) == 0;
    seen += static_cast<size_t>(w - 1);
  }
  const double repeated = seen ? static_cast<double>(same) / seen : 1.0;
  const double zeroShare =
      static_cast<double>(bestZeros) / (static_cast<double>(rows.size()) * (l.rowBytes - 1));
  if (repeated >= kRepeatedShareForText)
    s.strategy = Z_DEFAULT_STRATEGY;
  else
    s.strategy = zeroShare >= kZeroShareForRuns ? Z_RLE : Z_HUFFMAN_ONLY;
}

// Deflates the strip's filtered bytes as a raw deflate stream of its own that
// ends on a full flush (byte-aligned, nothing pending) or, for the last strip,
// the final block. Each strip starts with an empty window: looking back into
// the strip before it saved less than 0.1 per cent on a text desktop.
bool deflateStrip(const uint8_t* filtered, size_t size, const ImageCodec::PNGOptions& o, bool last,
                  Strip& s) {
  if (s.strategy == Z_HUFFMAN_ONLY && o.level > 0) {
    s.deflated.reset(new uint8_t[LiteralDeflater::bound(size)]);
    s.deflatedSize = LiteralDeflater::write(filtered, size, last, s.deflated.get());
    return true;
  }
  z_stream z{};
  if (deflateInit2(&z, std::clamp(o.level, 0, 9), Z_DEFLATED, -15, 8, s.strategy) != Z_OK)
    return false;
  // deflateBound leaves out the flush's empty stored block: a little more.
  const size_t room = deflateBound(&z, size) + 64;
  s.deflated.reset(new uint8_t[room]);
  z.next_in = const_cast<Bytef*>(filtered);
  z.avail_in = static_cast<uInt>(size);
  z.next_out = s.deflated.get();
  z.avail_out = static_cast<uInt>(room);
  const int rc = deflate(&z, last ? Z_FINISH : Z_FULL_FLUSH);
  // With room for the bound, one call takes everything in.
  const bool ok = last ? rc == Z_STREAM_END : (rc == Z_OK && z.avail_in == 0 && z.avail_out > 0);
  s.deflatedSize = room - z.avail_out;
  deflateEnd(&z);
  return ok;
}

// One strip, start to end: its filter, its rows filtered, their Adler-32,
// their deflate.
void encodeStrip(const Layout& l, const ImageCodec::PNGOptions& o, bool last, Strip& s) {
  choose(l, o, s);
  s.filteredSize = static_cast<size_t>(s.rows) * l.rowBytes;
  std::unique_ptr<uint8_t[]> filtered(new uint8_t[s.filteredSize]);
  for (int r = 0; r < s.rows; ++r)
    filterInto(l, s.filter, s.firstRow + r, filtered.get() + static_cast<size_t>(r) * l.rowBytes);
  s.adler = libdeflate_adler32(1, filtered.get(), s.filteredSize);
  s.ok = deflateStrip(filtered.get(), s.filteredSize, o, last, s);
}

unsigned workersFor(const ImageCodec::PNGOptions& o, size_t filteredBytes) {
  if (o.threads > 0) return std::min(static_cast<unsigned>(o.threads), kMaxWorkers);
  if (filteredBytes < kParallelFromBytes) return 1;
  return coresUpTo(kMaxWorkers);
}

bool allOpaque(const Image& img) {
  // One AND over every alpha byte: no early exit, but it vectorises.
  uint8_t all = 255;
  for (size_t i = 3; i < img.rgba.size(); i += 4) all &= img.rgba[i];
  return all == 255;
}

}  // namespace

std::optional<std::string> PNGEncoder::encode(const Image& img,
                                              const ImageCodec::PNGOptions& options) {
  if (!img.valid()) return std::nullopt;
  Layout l;
  l.img = &img;
  l.bpp = allOpaque(img) ? 3 : 4;
  l.rowBytes = static_cast<size_t>(img.width) * l.bpp + 1;
  const size_t total = l.rowBytes * img.height;
  const unsigned workers = workersFor(options, total);
  if (options.stripRows > 0)
    l.rowsPerStrip = std::min(options.stripRows, img.height);
  else
    l.rowsPerStrip = static_cast<int>(std::clamp<size_t>(
        (workers == 1 ? kMaxStripBytes : kStripBytes) / l.rowBytes, 1, img.height));
  l.strips = (img.height + l.rowsPerStrip - 1) / l.rowsPerStrip;

  std::vector<Strip> strips(l.strips);
  for (size_t k = 0; k < l.strips; ++k) {
    strips[k].firstRow = static_cast<int>(k) * l.rowsPerStrip;
    strips[k].rows = std::min(l.rowsPerStrip, img.height - strips[k].firstRow);
  }
  forEachIndex(l.strips, workers,
               [&](size_t k) { encodeStrip(l, options, k + 1 == l.strips, strips[k]); });

  size_t deflated = 0;
  for (const Strip& s : strips) {
    if (!s.ok) return std::nullopt;
    deflated += s.deflatedSize;
  }
  if (deflated + 6 > kMaxChunkBytes) return std::nullopt;
  std::string ihdr;
  put32(ihdr, static_cast<uint32_t>(img.width));
  put32(ihdr, static_cast<uint32_t>(img.height));
  ihdr += '\x08';                        // bit depth
  ihdr += l.bpp == 3 ? '\x02' : '\x06';  // colour type RGB or RGBA
  ihdr.append(3, '\0');                  // deflate, adaptive filtering, no interlace

  std::string out;
  out.reserve(deflated + 64);
  out.append("\x89PNG\r\n\x1a\n", 8);
  appendChunk(out, "IHDR", ihdr);
  // One IDAT chunk, written in place: the zlib header (deflate with a 32 KiB
  // window, no dictionary, the "fastest" level flag; the check bits make
  // 0x7801 a multiple of 31), the strips, the combined Adler-32.
  put32(out, static_cast<uint32_t>(2 + deflated + 4));
  const size_t typeAt = out.size();
  out.append("IDAT\x78\x01", 6);
  uLong adler = 1;
  for (Strip& s : strips) {
    out.append(reinterpret_cast<const char*>(s.deflated.get()), s.deflatedSize);
    s.deflated.reset();
    adler = adler32_combine(adler, s.adler, static_cast<z_off_t>(s.filteredSize));
  }
  put32(out, static_cast<uint32_t>(adler));
  put32(out, libdeflate_crc32(0, out.data() + typeAt, out.size() - typeAt));
  appendChunk(out, "IEND", {});
  return out;
}

}  // namespace quillbox::platform
