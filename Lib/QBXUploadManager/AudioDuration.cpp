#include "QBXUploadManager/AudioDuration.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

#include "Platform/FileSystem.h"

namespace quillbox {
namespace {

using platform::FileSystem;
using platform::SequentialFile;

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

 private:
  std::unique_ptr<SequentialFile> f_;
  int64_t size_;
};

uint32_t be32(const unsigned char* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
uint64_t be64(const unsigned char* p) {
  return (uint64_t(be32(p)) << 32) | be32(p + 4);
}
uint32_t le32(const unsigned char* p) {
  return (uint32_t(p[3]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
}
uint16_t le16(const unsigned char* p) {
  return uint16_t(p[0] | (p[1] << 8));
}

double beDouble(const unsigned char* p) {
  uint64_t bits = be64(p);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

// 80-bit IEEE extended (AIFF sample rate).
double beExtended(const unsigned char* p) {
  int sign = (p[0] & 0x80) ? -1 : 1;
  int exponent = ((p[0] & 0x7f) << 8) | p[1];
  uint64_t mantissa = be64(p + 2);
  if (exponent == 0 && mantissa == 0) return 0;
  if (exponent == 0x7fff) return 0;  // infinity or NaN: unusable
  return sign * std::ldexp(static_cast<double>(mantissa), exponent - 16383 - 63);
}

std::optional<double> positive(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) return std::nullopt;
  return seconds;
}

std::optional<double> wave(Reader& r) {
  uint32_t byteRate = 0;
  int64_t pos = 12;
  while (pos + 8 <= r.size()) {
    unsigned char h[8];
    if (!r.readAt(pos, h, 8)) break;
    int64_t len = le32(h + 4);
    if (std::memcmp(h, "fmt ", 4) == 0) {
      unsigned char fmt[16];
      if (len < 16 || !r.readAt(pos + 8, fmt, 16)) return std::nullopt;
      byteRate = le32(fmt + 8);
      (void)le16(fmt);
    } else if (std::memcmp(h, "data", 4) == 0) {
      if (byteRate == 0) return std::nullopt;
      int64_t data = std::min<int64_t>(len, r.size() - pos - 8);  // a streamed header may overstate
      return positive(static_cast<double>(data) / byteRate);
    }
    pos += 8 + len + (len & 1);
  }
  return std::nullopt;
}

std::optional<double> aiff(Reader& r) {
  int64_t pos = 12;
  while (pos + 8 <= r.size()) {
    unsigned char h[8];
    if (!r.readAt(pos, h, 8)) break;
    int64_t len = be32(h + 4);
    if (std::memcmp(h, "COMM", 4) == 0) {
      unsigned char c[18];
      if (len < 18 || !r.readAt(pos + 8, c, 18)) return std::nullopt;
      uint32_t frames = be32(c + 2);
      double rate = beExtended(c + 8);
      if (!(rate > 0)) return std::nullopt;
      return positive(frames / rate);
    }
    pos += 8 + len + (len & 1);
  }
  return std::nullopt;
}

std::optional<double> caf(Reader& r) {
  double rate = 0;
  uint32_t bytesPerPacket = 0, framesPerPacket = 0;
  std::optional<int64_t> validFrames;
  std::optional<int64_t> dataBytes;
  int64_t pos = 8;
  while (pos + 12 <= r.size()) {
    unsigned char h[12];
    if (!r.readAt(pos, h, 12)) break;
    int64_t len = static_cast<int64_t>(be64(h + 4));
    bool toEnd = len == -1;  // the data chunk may run to the end of the file
    if (toEnd) len = r.size() - pos - 12;
    if (len < 0) break;
    if (std::memcmp(h, "desc", 4) == 0) {
      unsigned char d[32];
      if (len < 32 || !r.readAt(pos + 12, d, 32)) return std::nullopt;
      rate = beDouble(d);
      bytesPerPacket = be32(d + 16);
      framesPerPacket = be32(d + 20);
    } else if (std::memcmp(h, "pakt", 4) == 0) {
      unsigned char p[16];
      if (len >= 16 && r.readAt(pos + 12, p, 16)) validFrames = static_cast<int64_t>(be64(p + 8));
    } else if (std::memcmp(h, "data", 4) == 0) {
      dataBytes = std::max<int64_t>(0, std::min(len, r.size() - pos - 12) - 4);  // edit count
    }
    // A chunk that claims to run past the end ends the walk (and its size,
    // up to 2^63, must not be added to the position).
    if (toEnd || len > r.size() - pos - 12) break;
    pos += 12 + len;
  }
  if (!(rate > 0) || !std::isfinite(rate)) return std::nullopt;
  if (validFrames && *validFrames >= 0) return positive(*validFrames / rate);
  if (dataBytes && bytesPerPacket > 0 && framesPerPacket > 0)
    return positive(static_cast<double>(*dataBytes / bytesPerPacket) * framesPerPacket / rate);
  return std::nullopt;
}

// MPEG-4: the movie header inside "moov".
std::optional<double> mp4(Reader& r) {
  auto findBox = [&r](int64_t from, int64_t to, const char* type, int64_t* bodyStart,
                      int64_t* bodyEnd) {
    int64_t pos = from;
    while (pos + 8 <= to) {
      unsigned char h[16];
      if (!r.readAt(pos, h, 8)) return false;
      int64_t len = be32(h);
      int64_t header = 8;
      if (len == 1) {
        if (!r.readAt(pos + 8, h + 8, 8)) return false;
        len = static_cast<int64_t>(be64(h + 8));
        header = 16;
      } else if (len == 0) {
        len = to - pos;
      }
      if (len < header || len > to - pos) return false;
      if (std::memcmp(h + 4, type, 4) == 0) {
        *bodyStart = pos + header;
        *bodyEnd = pos + len;
        return true;
      }
      pos += len;
    }
    return false;
  };
  int64_t moovStart, moovEnd, mvhdStart, mvhdEnd;
  if (!findBox(0, r.size(), "moov", &moovStart, &moovEnd)) return std::nullopt;
  if (!findBox(moovStart, moovEnd, "mvhd", &mvhdStart, &mvhdEnd)) return std::nullopt;
  unsigned char m[32];
  if (mvhdEnd - mvhdStart < 20 || !r.readAt(mvhdStart, m, 1)) return std::nullopt;
  uint32_t timescale;
  uint64_t duration;
  if (m[0] == 1) {
    if (mvhdEnd - mvhdStart < 32 || !r.readAt(mvhdStart, m, 32)) return std::nullopt;
    timescale = be32(m + 20);
    duration = be64(m + 24);
  } else {
    if (!r.readAt(mvhdStart, m, 20)) return std::nullopt;
    timescale = be32(m + 12);
    duration = be32(m + 16);
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
  unsigned char head[12];
  if (!r.readAt(0, head, 12)) return std::nullopt;
  if (std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0) return wave(r);
  if (std::memcmp(head, "FORM", 4) == 0 &&
      (std::memcmp(head + 8, "AIFF", 4) == 0 || std::memcmp(head + 8, "AIFC", 4) == 0))
    return aiff(r);
  if (std::memcmp(head, "caff", 4) == 0) return caf(r);
  if (std::memcmp(head + 4, "ftyp", 4) == 0) return mp4(r);
  return std::nullopt;
}

}  // namespace quillbox
