// AudioChunks: the one walk over the chunks of the audio containers.
//
// Audio files are sequences of tagged chunks: RIFF WAVE (4-byte tag, 32-bit
// little-endian size, bodies padded to an even length), AIFF/AIFF-C (the same
// with big-endian sizes), Core Audio Format (tag, 64-bit big-endian size, where
// -1 means "to the end of the file") and MPEG-4 boxes (32-bit big-endian size
// that includes the header, then the tag; size 1: a 64-bit size follows; 0: to
// the end). The walk reads only headers, through a caller-given reader, so it
// serves a file on disk as well as bytes in memory, and it never trusts a
// size: bodies are clamped to what the file holds, and a size that cannot be
// right ends the walk. Stateless; safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quillbox::platform {

class AudioChunks {
 public:
  enum class Container { Wave, Aiff, Caf, Mp4 };

  struct Chunk {
    std::string tag;        // the 4-character type
    int64_t body = 0;       // offset of the chunk's body
    int64_t size = 0;       // body size as declared (to the end: what the file holds)
    int64_t available = 0;  // body bytes the file holds: min(size, end - body)
    bool toEnd = false;     // declared as running to the end of the file
  };

  // Reads exactly `n` bytes at `offset` into `buffer`; false when it can't.
  using ReadAt = std::function<bool(int64_t offset, void* buffer, size_t n)>;

  // The container that the first 12 bytes of a file announce; nullopt for none
  // of the four. The chunks of Wave and Aiff start at 12, of Caf at 8, of Mp4 at 0.
  static std::optional<Container> detect(std::string_view head);
  static int64_t firstChunk(Container container);

  // Calls `visit` for each chunk that starts in [from, end), in file order,
  // until it gives false, a header does not fit before `end` or a size is
  // impossible. Chunks of Caf and Mp4 that run to the end are the last.
  static void walk(Container container, const ReadAt& read, int64_t from, int64_t end,
                   const std::function<bool(const Chunk&)>& visit);

  // Fixed-size integers as the containers store them.
  static uint16_t le16(const unsigned char* p);
  static uint32_t le32(const unsigned char* p);
  static uint32_t be32(const unsigned char* p);
  static uint64_t be64(const unsigned char* p);
};

}  // namespace quillbox::platform
