#include "Platform/Media/SoundFile.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

#include "Platform/Media/AudioChunks.h"

namespace quillbox::platform {
namespace {

struct Reader {
  std::string_view b;
  bool has(size_t off, size_t n) const { return off <= b.size() && n <= b.size() - off; }
  uint32_t le32(size_t o) const {
    return uint32_t(uint8_t(b[o])) | uint32_t(uint8_t(b[o + 1])) << 8 |
           uint32_t(uint8_t(b[o + 2])) << 16 | uint32_t(uint8_t(b[o + 3])) << 24;
  }
  uint16_t le16(size_t o) const { return uint16_t(uint8_t(b[o]) | uint8_t(b[o + 1]) << 8); }
  uint32_t be32(size_t o) const {
    return uint32_t(uint8_t(b[o])) << 24 | uint32_t(uint8_t(b[o + 1])) << 16 |
           uint32_t(uint8_t(b[o + 2])) << 8 | uint32_t(uint8_t(b[o + 3]));
  }
  uint64_t be64(size_t o) const { return uint64_t(be32(o)) << 32 | be32(o + 4); }
  bool tag(size_t o, const char* t) const { return has(o, 4) && b.substr(o, 4) == t; }
};

bool plausible(int channels, double rate) {
  return channels >= 1 && channels <= 8 && rate >= 1000 && rate <= 384000;
}

// One sample of `bits` integer or float PCM at p, as signed 16-bit.
int16_t sampleAt(const unsigned char* p, int bits, bool isFloat, bool little, bool unsigned8) {
  const int bytes = bits / 8;
  if (bits == 8)
    return static_cast<int16_t>((unsigned8 ? int(p[0]) - 128 : int(int8_t(p[0]))) << 8);
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= uint64_t(p[little ? i : bytes - 1 - i]) << (8 * i);
  if (isFloat) {
    double d;
    if (bits == 32) {
      uint32_t u = static_cast<uint32_t>(v);
      float f;
      memcpy(&f, &u, 4);
      d = f;
    } else {
      memcpy(&d, &v, 8);
    }
    if (!std::isfinite(d)) d = 0;
    return static_cast<int16_t>(std::lround(std::clamp(d, -1.0, 1.0) * 32767.0));
  }
  // Keep the top 16 bits of the signed value.
  const int64_t s = static_cast<int64_t>(v << (64 - bits)) >> (64 - bits);
  return static_cast<int16_t>(s >> (bits - 16));
}

std::optional<SoundFile::PCM> convert(const Reader& r, size_t off, size_t len, int channels,
                                      int rate, int bits, bool isFloat, bool little,
                                      bool unsigned8) {
  const size_t frameBytes = static_cast<size_t>(channels) * (bits / 8);
  if (!r.has(off, len)) len = r.b.size() - std::min(off, r.b.size());  // short file: what is there
  const size_t frames = len / frameBytes;
  if (frames == 0) return std::nullopt;
  SoundFile::PCM pcm;
  pcm.channels = channels;
  pcm.sampleRate = rate;
  pcm.samples.resize(frames * channels);
  const auto* p = reinterpret_cast<const unsigned char*>(r.b.data()) + off;
  for (size_t i = 0; i < pcm.samples.size(); ++i, p += bits / 8)
    pcm.samples[i] = sampleAt(p, bits, isFloat, little, unsigned8);
  return pcm;
}

// The chunks of the sound file in memory.
void walkChunks(const Reader& r, AudioChunks::Container container,
                const std::function<bool(const AudioChunks::Chunk&)>& visit) {
  AudioChunks::walk(
      container,
      [&r](int64_t offset, void* buffer, size_t n) {
        if (offset < 0 || !r.has(static_cast<size_t>(offset), n)) return false;
        memcpy(buffer, r.b.data() + offset, n);
        return true;
      },
      AudioChunks::firstChunk(container), static_cast<int64_t>(r.b.size()), visit);
}

std::optional<SoundFile::PCM> decodeWAV(const Reader& r) {
  int channels = 0, bits = 0;
  uint32_t rate = 0;
  bool haveFmt = false;
  std::optional<SoundFile::PCM> pcm;
  walkChunks(r, AudioChunks::Container::Wave, [&](const AudioChunks::Chunk& c) {
    const size_t body = static_cast<size_t>(c.body);
    if (c.tag == "fmt ") {
      if (c.size < 16 || !r.has(body, 16)) return false;
      uint16_t format = r.le16(body);
      channels = r.le16(body + 2);
      rate = r.le32(body + 4);
      bits = r.le16(body + 14);
      if (format == 0xFFFE && c.size >= 40 && r.has(body, 40)) format = r.le16(body + 24);
      if (format != 1 || (bits != 8 && bits != 16) || !plausible(channels, rate)) return false;
      haveFmt = true;
      return true;
    }
    if (c.tag != "data") return true;
    if (haveFmt)
      pcm = convert(r, body, static_cast<size_t>(c.size), channels, static_cast<int>(rate), bits,
                    false, true, true);
    return false;
  });
  return pcm;
}

std::optional<SoundFile::PCM> decodeCAF(const Reader& r) {
  if (!r.has(4, 4) || r.be32(4) >> 16 != 1) return std::nullopt;  // file version 1
  int channels = 0, bits = 0, rate = 0;
  bool isFloat = false, little = false, haveDesc = false;
  std::optional<SoundFile::PCM> pcm;
  walkChunks(r, AudioChunks::Container::Caf, [&](const AudioChunks::Chunk& c) {
    const size_t body = static_cast<size_t>(c.body);
    if (c.tag == "desc") {
      if (c.size < 32 || !r.has(body, 32)) return false;
      const uint64_t rateBits = r.be64(body);
      double sampleRate;
      memcpy(&sampleRate, &rateBits, 8);
      const uint32_t flags = r.be32(body + 12);
      channels = static_cast<int>(r.be32(body + 24));
      bits = static_cast<int>(r.be32(body + 28));
      isFloat = flags & 1;
      little = flags & 2;
      const uint32_t bytesPerPacket = r.be32(body + 16), framesPerPacket = r.be32(body + 20);
      if (!r.tag(body + 8, "lpcm") || !std::isfinite(sampleRate) ||
          !plausible(channels, sampleRate))
        return false;
      if (isFloat ? (bits != 32 && bits != 64)
                  : (bits != 8 && bits != 16 && bits != 24 && bits != 32))
        return false;
      if (framesPerPacket != 1 || bytesPerPacket != static_cast<uint32_t>(channels * bits / 8))
        return false;
      rate = static_cast<int>(std::lround(sampleRate));
      haveDesc = true;
      return true;
    }
    if (c.tag != "data") return true;
    // The data chunk opens with a 4-byte edit count; the samples are what the
    // file holds after it.
    if (haveDesc && c.available >= 4 && (c.toEnd || c.size >= 4))
      pcm = convert(r, body + 4, static_cast<size_t>(c.available - 4), channels, rate, bits,
                    isFloat, little, false);
    return false;
  });
  return pcm;
}

}  // namespace

std::optional<SoundFile::PCM> SoundFile::decode(std::string_view bytes) {
  Reader r{bytes};
  if (r.tag(0, "RIFF") && r.tag(8, "WAVE")) return decodeWAV(r);
  if (r.tag(0, "caff")) return decodeCAF(r);
  return std::nullopt;
}

}  // namespace quillbox::platform
