// SHA1Help: SHA-1 of texts and files, as 40 lower-case hex digits.
//
// The file forms stream the file in 4096-byte chunks and give nullopt (never an
// empty digest) when the file can't be read or the cancel flag was found set.
// Stateless; every operation is safe for concurrent use from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quillbox {

class SHA1Help {
 public:
  // SHA-1 of the text's UTF-8 bytes (all of them, zero bytes included).
  static std::string sha1(std::string_view text);
  // SHA-1 of the file's contents; nullopt when it can't be read.
  static std::optional<std::string> file_sha1(const std::string& path);
  // As file_sha1(path); also nullopt when `statuCancel` (may be null) is set
  // when a chunk has been read. The flag is read between chunks only, so a set
  // flag takes effect within one 4096-byte chunk.
  static std::optional<std::string> file_sha1(const std::string& path,
                                              const std::atomic<bool>* statuCancel);
};

// SHA-1 of a file read in chunks of `chunkSize` bytes (0 means 4096), with an
// optional cancel flag; see SHA1Help::file_sha1.
std::optional<std::string> FileSHA1HashCreateWithPath(const std::string& path, size_t chunkSize,
                                                      const std::atomic<bool>* statuCancel);

}  // namespace quillbox
