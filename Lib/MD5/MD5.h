// MD5: MD5 of texts and files, as 32 hex digits.
//
// The text forms hash the UTF-8 bytes up to the first zero byte (the text as a
// zero-terminated string). The file form streams the file in 4096-byte chunks
// and gives nullopt when it can't be read. Stateless; safe for concurrent use
// from any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quillbox {

class MD5 {
 public:
  // Lower-case ("%02x") MD5 of the text.
  static std::string getLowerMD5ByString(std::string_view text);
  // Upper-case ("%02X") MD5 of the text.
  static std::string getUperMD5ByString(std::string_view text);
  // Lower-case MD5 of the file's contents; nullopt when it can't be read.
  static std::optional<std::string> fileMD5(const std::string& path);
};

// MD5 of a file read in chunks of `chunkSize` bytes (0 means 4096); nullopt
// when the file can't be opened or a read fails.
std::optional<std::string> FileMD5HashCreateWithPath(const std::string& path, size_t chunkSize);

}  // namespace quillbox
