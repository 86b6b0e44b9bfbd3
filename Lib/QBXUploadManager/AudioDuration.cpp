#include "QBXUploadManager/AudioDuration.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

#include "Platform/Files/FileSystem.h"
#include "Platform/Media/AudioChunks.h"

namespace quillbox {
namespace {

using platform::AudioChunks;
using platform::FileSystem;
using platform::SequentialFile;
using Chunk = AudioChunks::Chunk;
using Container = AudioChunks::Container;

// Random access over a sequential file with bounds known from its size.
class Reader {
 public:
  Reader(std::unique_ptr<SequentialFile> f, int64_t size) : f_(std::move(f)), size_(size) {}
  int64_t size() const { return size_; }
  // Reads exactly n bytes at `offset`; false past the end or on error.
  bool readAt(int64_t offset, void* buf, size_t n) {
    if (offset < 0 || offset > size_ || static_cast<int64_t>(n) > size_ - offset) return false;
    if (!f_->seek(offset)) return false;
    char* p = static_cast<char*>(buf);
    size_t got = 0;
    while (got < n) {
      int64_t r = f_->read(p + got, n - got);
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
    }
    return true;
  }
  // The chunks of `container` from `from` to `end` (see AudioChunks::walk).
  void walk(Container container, int64_t from, int64_t end,
            const std::function<bool(const Chunk&)>& visit) {
    AudioChunks::walk(
        container, [this](int64_t o, void* b, size_t n) { return readAt(o, b, n); }, from, end,
        visit);
  }

 private:
  std::unique_ptr<SequentialFile> f_;
  int64_t size_;
};

double beDouble(const unsigned char* p) {
  uint64_t bits = AudioChunks::be64(p);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

// 80-bit IEEE extended (AIFF sample rate).
double beExtended(const unsigned char* p) {
  int sign = (p[0] & 0x80) ? -1 : 1;
  int exponent = ((p[0] & 0x7f) << 8) | p[1];
  uint64_t mantissa = AudioChunks::be64(p + 2);
  if (exponent == 0 && mantissa == 0) return 0;
  if (exponent == 0x7fff) return 0;  // infinity or NaN: unusable
  return sign * std::ldexp(static_cast<double>(mantissa), exponent - 16383 - 63);
}

std::optional<double> positive(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) return std::nullopt;
  return seconds;
}

// WAVE: the "data" bytes over the "fmt " byte rate.
std::optional<double> wave(Reader& r) {
  uint32_t byteRate = 0;
  std::optional<double> seconds;
  bool bad = false;
  r.walk(Container::Wave, 12, r.size(), [&](const Chunk& c) {
    if (c.tag == "fmt ") {
      unsigned char fmt[16];
      if (c.size < 16 || !r.readAt(c.body, fmt, 16)) return !(bad = true);
      byteRate = AudioChunks::le32(fmt + 8);
      return true;
    }
    if (c.tag != "data") return true;
    // A streamed header may overstate the data: what the file holds counts.
    if (byteRate == 0) return !(bad = true);
    seconds = positive(static_cast<double>(c.available) / byteRate);
    return false;
  });
  return bad ? std::nullopt : seconds;
}

// AIFF and AIFF-C: the "COMM" frame count over its sample rate.
std::optional<double> aiff(Reader& r) {
  std::optional<double> seconds;
  r.walk(Container::Aiff, 12, r.size(), [&](const Chunk& c) {
    if (c.tag != "COMM") return true;
    unsigned char comm[18];
    if (c.size < 18 || !r.readAt(c.body, comm, 18)) return false;
    uint32_t frames = AudioChunks::be32(comm + 2);
    double rate = beExtended(comm + 8);
    if (rate > 0) seconds = positive(frames / rate);
    return false;
  });
  return seconds;
}

// Core Audio Format: the valid frames of "pakt" (compressed audio), else the
// "data" packets, over the "desc" sample rate.
std::optional<double> caf(Reader& r) {
  double rate = 0;
  uint32_t bytesPerPacket = 0, framesPerPacket = 0;
  std::optional<int64_t> validFrames;
  std::optional<int64_t> dataBytes;
  bool bad = false;
  r.walk(Container::Caf, 8, r.size(), [&](const Chunk& c) {
    if (c.tag == "desc") {
      unsigned char d[32];
      if (c.size < 32 || !r.readAt(c.body, d, 32)) return !(bad = true);
      rate = beDouble(d);
      bytesPerPacket = AudioChunks::be32(d + 16);
      framesPerPacket = AudioChunks::be32(d + 20);
    } else if (c.tag == "pakt") {
      unsigned char p[16];
      if (c.size >= 16 && r.readAt(c.body, p, 16))
        validFrames = static_cast<int64_t>(AudioChunks::be64(p + 8));
    } else if (c.tag == "data") {
      dataBytes = std::max<int64_t>(0, c.available - 4);  // after the edit count
    }
    return true;
  });
  if (bad || !(rate > 0) || !std::isfinite(rate)) return std::nullopt;
  if (validFrames && *validFrames >= 0) return positive(*validFrames / rate);
  if (dataBytes && bytesPerPacket > 0 && framesPerPacket > 0) {
    const int64_t packets = *dataBytes / bytesPerPacket;  // whole packets only
    return positive(static_cast<double>(packets) * framesPerPacket / rate);
  }
  return std::nullopt;
}

// The body of the first box of `type` in [from, end).
bool findBox(Reader& r, int64_t from, int64_t end, const char* type, Chunk* found) {
  bool hit = false;
  r.walk(Container::Mp4, from, end, [&](const Chunk& c) {
    if (c.tag != type) return true;
    *found = c;
    hit = true;
    return false;
  });
  return hit;
}

// MPEG-4: the movie header inside "moov".
std::optional<double> mp4(Reader& r) {
  Chunk moov, mvhd;
  if (!findBox(r, 0, r.size(), "moov", &moov)) return std::nullopt;
  if (!findBox(r, moov.body, moov.body + moov.size, "mvhd", &mvhd)) return std::nullopt;
  unsigned char m[32];
  if (mvhd.size < 20 || !r.readAt(mvhd.body, m, 1)) return std::nullopt;
  uint32_t timescale;
  uint64_t duration;
  if (m[0] == 1) {
    if (mvhd.size < 32 || !r.readAt(mvhd.body, m, 32)) return std::nullopt;
    timescale = AudioChunks::be32(m + 20);
    duration = AudioChunks::be64(m + 24);
  } else {
    if (!r.readAt(mvhd.body, m, 20)) return std::nullopt;
    timescale = AudioChunks::be32(m + 12);
    duration = AudioChunks::be32(m + 16);
  }
  if (timescale == 0) return std::nullopt;
  return positive(static_cast<double>(duration) / timescale);
}

}  // namespace

std::optional<double> AudioDuration::playingTimeSeconds(const std::string& path) {
  FileSystem& fs = FileSystem::Default();
  auto attrs = fs.attributes(path);
  if (!attrs || attrs->isDirectory) return std::nullopt;
  auto f = fs.openSequential(path);
  if (!f) return std::nullopt;
  Reader r(std::move(f), attrs->size);
  char head[12];
  if (!r.readAt(0, head, 12)) return std::nullopt;
  auto container = AudioChunks::detect(std::string_view(head, 12));
  if (!container) return std::nullopt;
  switch (*container) {
    case Container::Wave:
      return wave(r);
    case Container::Aiff:
      return aiff(r);
    case Container::Caf:
      return caf(r);
    case Container::Mp4:
      break;
  }
  return mp4(r);
}

}  // namespace quillbox
