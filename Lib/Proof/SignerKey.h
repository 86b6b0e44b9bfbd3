// SignerKey: the Ed25519 key that signs evidence proofs, and checks of its signatures.
//
// The private key lives in $QUILLBOX_HOME/.local/share/quillbox/signer.key
// (PKCS#8 PEM, owner-only). It is made on first use; two processes that
// start at once agree on one key (the file is made under an flock). A key
// file that can't be read as an Ed25519 key is kept aside as
// "signer.key.unreadable" and a new key is made, so proofs keep coming.
//
// Thread safety: every operation may be called from any thread; a loaded key
// is shared read-only.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quillbox {

class SignerKey {
 public:
  static constexpr const char* kKeyFile = "signer.key";
  static constexpr size_t kSignatureSize = 64;

  SignerKey(const SignerKey&) = delete;
  SignerKey& operator=(const SignerKey&) = delete;
  ~SignerKey();

  // $QUILLBOX_HOME/.local/share/quillbox/signer.key
  static std::string defaultPath();
  // The key at `path` (made when missing); loaded once per path and process.
  // nullptr, with a log line, when it can be neither read nor made.
  static std::shared_ptr<const SignerKey> loadOrCreate(const std::string& path);
  static std::shared_ptr<const SignerKey> shared() { return loadOrCreate(defaultPath()); }

  // The raw 64-byte Ed25519 signature of `data`; nullopt when signing fails.
  std::optional<std::string> sign(std::string_view data) const;
  // The public key as SubjectPublicKeyInfo PEM.
  const std::string& publicPem() const { return publicPem_; }
  // Lower-case hex SHA-256 of the public key's SubjectPublicKeyInfo DER.
  const std::string& fingerprint() const { return fingerprint_; }

  // True when `signature` is a valid Ed25519 signature of `data` by the public
  // key in `publicPem` (SubjectPublicKeyInfo PEM). False for anything malformed.
  static bool verify(std::string_view publicPem, std::string_view data, std::string_view signature);
  // fingerprint() of the public key in `publicPem`; nullopt when it isn't an Ed25519 key.
  static std::optional<std::string> fingerprintOf(std::string_view publicPem);

 private:
  struct Key;
  explicit SignerKey(std::unique_ptr<Key> key);
  std::unique_ptr<Key> key_;
  std::string publicPem_;
  std::string fingerprint_;
};

}  // namespace quillbox
