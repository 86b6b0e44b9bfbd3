#include "SHA1Help/FileDigest.h"

#include <openssl/evp.h>

#include <memory>
#include <vector>

#include "Platform/Files/FileSystem.h"
#include "Text/Hex.h"

namespace quillbox {
namespace {

const EVP_MD* mdOf(FileDigest::Algorithm a) {
  return a == FileDigest::Algorithm::MD5 ? EVP_md5() : EVP_sha1();
}

struct CtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using Ctx = std::unique_ptr<EVP_MD_CTX, CtxFree>;

}  // namespace

std::string FileDigest::hex(const unsigned char* bytes, size_t n, bool upper) {
  return Hex::encode(bytes, n, upper);
}

std::string FileDigest::ofBytes(Algorithm algorithm, std::string_view bytes, bool upper) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), md, &len, mdOf(algorithm), nullptr) != 1) {
    return std::string();
  }
  return hex(md, len, upper);
}

std::optional<std::string> FileDigest::ofFile(Algorithm algorithm, const std::string& path,
                                              size_t chunkSize,
                                              const std::atomic<bool>* statuCancel) {
  if (chunkSize == 0) chunkSize = kDefaultChunkSize;
  std::unique_ptr<platform::SequentialFile> file =
      platform::FileSystem::Default().openSequential(path);
  if (!file) return std::nullopt;
  Ctx ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), mdOf(algorithm), nullptr) != 1) return std::nullopt;
  std::vector<char> buffer(chunkSize);
  for (;;) {
    int64_t n = file->read(buffer.data(), chunkSize);
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    // The flag belongs to another thread (a stopping upload); a set flag ends
    // the digest before the bytes just read are hashed.
    if (statuCancel && statuCancel->load(std::memory_order_acquire)) return std::nullopt;
    if (EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(n)) != 1) {
      return std::nullopt;
    }
  }
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx.get(), md, &len) != 1) return std::nullopt;
  return hex(md, len);
}

}  // namespace quillbox
