#include "Proof/SignerKey.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <map>
#include <mutex>

#include "Platform/Files/FileLock.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "SHA1Help/FileDigest.h"

namespace quillbox {

using platform::FileSystem;
using platform::Log;

namespace {

const char kLogUnreadableKey[] = "日志:签名密钥无法读取, 已另存为 %s, 生成新密钥";
const char kLogKeyMade[] = "日志:签名密钥已生成 %s";
const char kLogKeyFailed[] = "日志:签名密钥无法生成或保存: %s";

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

std::string bioText(BIO* bio) {
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

BioPtr readBio(std::string_view text) {
  return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

PkeyPtr readPrivate(const std::string& pem) {
  BioPtr bio = readBio(pem);
  PkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (key && EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) key.reset();
  return key;
}

PkeyPtr readPublic(std::string_view pem) {
  BioPtr bio = readBio(pem);
  PkeyPtr key(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (key && EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) key.reset();
  return key;
}

std::string fingerprintOfKey(EVP_PKEY* key) {
  unsigned char* der = nullptr;
  int n = i2d_PUBKEY(key, &der);
  if (n <= 0) return "";
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  bool ok = EVP_Digest(der, static_cast<size_t>(n), md, &len, EVP_sha256(), nullptr) == 1;
  OPENSSL_free(der);
  return ok ? FileDigest::hex(md, len) : std::string();
}

// A new key's PKCS#8 PEM, or "" when generation fails.
std::string generatePem() {
  PkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!key || !bio ||
      PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    return "";
  }
  return bioText(bio.get());
}

// The key file's PEM, made (or remade over an unreadable one) under the file's lock.
std::optional<std::string> readOrMake(const std::string& path) {
  FileSystem& fs = FileSystem::Default();
  fs.createDirectories(platform::deletingLastPathComponent(path));
  platform::StoreLock lock(path);
  auto existing = fs.readFile(path);
  if (existing && readPrivate(*existing)) return existing;
  if (existing) {
    // Never lose a key: an unreadable one may be a damaged copy someone can repair.
    std::string aside = path + ".unreadable";
    fs.writeOwnerOnlyAtomically(aside, *existing);
    Log::printf(kLogUnreadableKey, aside.c_str());
  }
  std::string pem = generatePem();
  if (pem.empty() || !fs.writeOwnerOnlyAtomically(path, pem)) {
    Log::printf(kLogKeyFailed, path.c_str());
    return std::nullopt;
  }
  Log::printf(kLogKeyMade, path.c_str());
  return pem;
}

}  // namespace

struct SignerKey::Key {
  PkeyPtr pkey;
};

SignerKey::SignerKey(std::unique_ptr<Key> key) : key_(std::move(key)) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (bio && PEM_write_bio_PUBKEY(bio.get(), key_->pkey.get()) == 1)
    publicPem_ = bioText(bio.get());
  fingerprint_ = fingerprintOfKey(key_->pkey.get());
}

SignerKey::~SignerKey() = default;

std::string SignerKey::defaultPath() {
  return platform::Environment::home() + "/.local/share/quillbox/" + kKeyFile;
}

std::shared_ptr<const SignerKey> SignerKey::loadOrCreate(const std::string& path) {
  static std::mutex mu;
  static auto* loaded = new std::map<std::string, std::shared_ptr<const SignerKey>>;
  std::lock_guard<std::mutex> guard(mu);
  if (auto it = loaded->find(path); it != loaded->end()) return it->second;
  auto pem = readOrMake(path);
  if (!pem) return nullptr;
  auto key = std::make_unique<Key>();
  key->pkey = readPrivate(*pem);
  if (!key->pkey) return nullptr;
  std::shared_ptr<const SignerKey> signer(new SignerKey(std::move(key)));
  if (signer->publicPem_.empty() || signer->fingerprint_.empty()) return nullptr;
  (*loaded)[path] = signer;
  return signer;
}

std::optional<std::string> SignerKey::sign(std::string_view data) const {
  MdCtxPtr ctx(EVP_MD_CTX_new());
  std::string sig(kSignatureSize, '\0');
  size_t len = sig.size();
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_->pkey.get()) != 1 ||
      EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(sig.data()), &len,
                     reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1 ||
      len != kSignatureSize) {
    return std::nullopt;
  }
  return sig;
}

bool SignerKey::verify(std::string_view publicPem, std::string_view data,
                       std::string_view signature) {
  if (signature.size() != kSignatureSize) return false;
  PkeyPtr key = readPublic(publicPem);
  MdCtxPtr ctx(EVP_MD_CTX_new());
  return key && ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
         EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                          signature.size(), reinterpret_cast<const unsigned char*>(data.data()),
                          data.size()) == 1;
}

std::optional<std::string> SignerKey::fingerprintOf(std::string_view publicPem) {
  PkeyPtr key = readPublic(publicPem);
  if (!key) return std::nullopt;
  std::string fp = fingerprintOfKey(key.get());
  if (fp.empty()) return std::nullopt;
  return fp;
}

}  // namespace quillbox
