// FileDigest: the digest engine behind MD5 and SHA1Help.
//
// Hashes byte strings in one call and files by streaming them through
// platform::FileSystem::openSequential in fixed chunks (4096 bytes unless told
// otherwise); no file is ever held whole in memory. Results are lower-case hex
// text. Stateless and safe for concurrent use from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quillbox {

class FileDigest {
 public:
  enum class Algorithm { MD5, SHA1 };
  static constexpr size_t kDefaultChunkSize = 4096;

  // Hex digest of `bytes` ("%02x" per byte, or "%02X" when `upper`).
  static std::string ofBytes(Algorithm algorithm, std::string_view bytes, bool upper = false);

  // Hex digest of the file at `path`, read in chunks of `chunkSize` bytes (0 means
  // 4096). nullopt when the file can't be opened, a read fails, or `statuCancel`
  // is given and found set after a read that returned data (checked once per
  // chunk; the read that meets the end of the file finishes the digest without
  // looking at it, so an empty file always gives the digest of zero bytes).
  static std::optional<std::string> ofFile(Algorithm algorithm, const std::string& path,
                                           size_t chunkSize = kDefaultChunkSize,
                                           const std::atomic<bool>* statuCancel = nullptr);

  // Lower-case hex text of raw bytes.
  static std::string hex(const unsigned char* bytes, size_t n, bool upper = false);
};

}  // namespace quillbox
