#include "Platform/Media/AudioChunks.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace quillbox::platform {

uint16_t AudioChunks::le16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t AudioChunks::le32(const unsigned char* p) {
  return (uint32_t(p[3]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
}
uint32_t AudioChunks::be32(const unsigned char* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
uint64_t AudioChunks::be64(const unsigned char* p) {
  return (uint64_t(be32(p)) << 32) | be32(p + 4);
}

std::optional<AudioChunks::Container> AudioChunks::detect(std::string_view head) {
  if (head.size() < 12) return std::nullopt;
  const std::string_view kind = head.substr(8, 4);
  if (head.substr(0, 4) == "RIFF" && kind == "WAVE") return Container::Wave;
  if (head.substr(0, 4) == "FORM" && (kind == "AIFF" || kind == "AIFC")) return Container::Aiff;
  if (head.substr(0, 4) == "caff") return Container::Caf;
  if (head.substr(4, 4) == "ftyp") return Container::Mp4;
  return std::nullopt;
}

int64_t AudioChunks::firstChunk(Container container) {
  switch (container) {
    case Container::Wave:
    case Container::Aiff:
      return 12;
    case Container::Caf:
      return 8;
    case Container::Mp4:
      break;
  }
  return 0;
}

void AudioChunks::walk(Container container, const ReadAt& read, int64_t from, int64_t end,
                       const std::function<bool(const Chunk&)>& visit) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  int64_t pos = std::max<int64_t>(from, 0);
  for (;;) {
    unsigned char h[16];
    Chunk chunk;
    int64_t next;
    if (container == Container::Wave || container == Container::Aiff) {
      if (end - pos < 8 || !read(pos, h, 8)) return;
      chunk.tag.assign(reinterpret_cast<const char*>(h), 4);
      chunk.body = pos + 8;
      chunk.size = container == Container::Wave ? le32(h + 4) : be32(h + 4);
      next = chunk.body + chunk.size + (chunk.size & 1);
    } else if (container == Container::Caf) {
      if (end - pos < 12 || !read(pos, h, 12)) return;
      chunk.tag.assign(reinterpret_cast<const char*>(h), 4);
      chunk.body = pos + 12;
      const uint64_t declared = be64(h + 4);
      chunk.toEnd = declared == std::numeric_limits<uint64_t>::max();
      if (!chunk.toEnd && declared > static_cast<uint64_t>(kMax)) return;
      chunk.size = chunk.toEnd ? end - chunk.body : static_cast<int64_t>(declared);
      next = chunk.toEnd || chunk.size > end - chunk.body ? end : chunk.body + chunk.size;
    } else {
      if (end - pos < 8 || !read(pos, h, 8)) return;
      chunk.tag.assign(reinterpret_cast<const char*>(h + 4), 4);
      int64_t length = be32(h);
      int64_t header = 8;
      if (length == 1) {
        if (end - pos < 16 || !read(pos + 8, h + 8, 8)) return;
        const uint64_t large = be64(h + 8);
        if (large > static_cast<uint64_t>(kMax)) return;
        length = static_cast<int64_t>(large);
        header = 16;
      } else if (length == 0) {
        chunk.toEnd = true;
        length = end - pos;
      }
      if (length < header || length > end - pos) return;  // a box never passes its parent
      chunk.body = pos + header;
      chunk.size = length - header;
      next = pos + length;
    }
    chunk.available = std::clamp<int64_t>(end - chunk.body, 0, chunk.size);
    if (!visit(chunk) || chunk.toEnd || next >= end) return;
    pos = next;
  }
}

}  // namespace quillbox::platform
