#include "SHA1Help/SHA1Help.h"

#include "SHA1Help/FileDigest.h"

namespace quillbox {

std::string SHA1Help::sha1(std::string_view text) {
  return FileDigest::ofBytes(FileDigest::Algorithm::SHA1, text);
}

std::optional<std::string> SHA1Help::file_sha1(const std::string& path) {
  return FileSHA1HashCreateWithPath(path, FileDigest::kDefaultChunkSize, nullptr);
}

std::optional<std::string> SHA1Help::file_sha1(const std::string& path,
                                               const std::atomic<bool>* statuCancel) {
  return FileSHA1HashCreateWithPath(path, FileDigest::kDefaultChunkSize, statuCancel);
}

std::optional<std::string> FileSHA1HashCreateWithPath(const std::string& path, size_t chunkSize,
                                                      const std::atomic<bool>* statuCancel) {
  return FileDigest::ofFile(FileDigest::Algorithm::SHA1, path, chunkSize, statuCancel);
}

}  // namespace quillbox
