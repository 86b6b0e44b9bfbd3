#include "MD5/MD5.h"

#include "SHA1Help/FileDigest.h"

namespace quillbox {
namespace {
std::string_view upToZero(std::string_view text) {
  size_t z = text.find('\0');
  return z == std::string_view::npos ? text : text.substr(0, z);
}
}  // namespace

std::string MD5::getLowerMD5ByString(std::string_view text) {
  return FileDigest::ofBytes(FileDigest::Algorithm::MD5, upToZero(text));
}

std::string MD5::getUperMD5ByString(std::string_view text) {
  return FileDigest::ofBytes(FileDigest::Algorithm::MD5, upToZero(text), true);
}

std::optional<std::string> MD5::fileMD5(const std::string& path) {
  return FileMD5HashCreateWithPath(path, FileDigest::kDefaultChunkSize);
}

std::optional<std::string> FileMD5HashCreateWithPath(const std::string& path, size_t chunkSize) {
  return FileDigest::ofFile(FileDigest::Algorithm::MD5, path, chunkSize, nullptr);
}

}  // namespace quillbox
