// C2paSigner: the X.509 identity that signs the content credentials of captures.
//
// By default each install has its own: a local root certificate authority and
// a signer certificate it issued (ECDSA P-256; key usage digitalSignature;
// extended key usages C2PA claim signing and document signing; not
// self-signed), in $QUILLBOX_HOME/.local/share/quillbox/ beside the proof key:
// "c2pa-root.key", "c2pa-root.pem", "c2pa-signer.key", "c2pa-signer.pem" (keys
// owner-only). They are made on first use under a file lock; a signer
// certificate that no longer matches its key or root, or expires within 30
// days, is issued again. With QUILLBOX_C2PA_CERT (the signer's certificate
// chain, PEM, signer first) and QUILLBOX_C2PA_KEY (its private key, PEM) a
// certificate from another authority signs instead (EC P-256/384/521, Ed25519
// or RSA).
//
// Thread safety: every operation may be called from any thread; a loaded
// identity is shared read-only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillbox {

class C2paSigner {
 public:
  static constexpr const char* kRootKeyFile = "c2pa-root.key";
  static constexpr const char* kRootCertFile = "c2pa-root.pem";
  static constexpr const char* kSignerKeyFile = "c2pa-signer.key";
  static constexpr const char* kSignerCertFile = "c2pa-signer.pem";

  C2paSigner(const C2paSigner&) = delete;
  C2paSigner& operator=(const C2paSigner&) = delete;
  ~C2paSigner();

  // $QUILLBOX_HOME/.local/share/quillbox
  static std::string defaultFolder();
  // The identity the settings name (see above), loaded once per process and
  // settings; nullptr, with a log line, when it can be neither read nor made.
  static std::shared_ptr<const C2paSigner> shared();
  // The install's own identity in `folder`, made or renewed as needed.
  static std::shared_ptr<const C2paSigner> loadOrCreate(const std::string& folder);
  // The identity of a certificate chain and key (PEM texts); nullptr with
  // `error` when they don't fit together or the key type can't sign.
  static std::shared_ptr<const C2paSigner> fromPem(std::string_view chainPem,
                                                   std::string_view keyPem, std::string* error);

  // The COSE algorithm (-7 ES256, -35 ES384, -36 ES512, -8 EdDSA, -37 PS256).
  int64_t algorithm() const { return algorithm_; }
  // Bytes of a signature of algorithm().
  size_t signatureSize() const { return signatureSize_; }
  // The certificates for the x5chain header (DER): the signer's first, then
  // intermediates; never a self-signed root.
  const std::vector<std::string>& chain() const { return chain_; }
  // The root a verifier adds as its trust anchor (PEM): the install's root,
  // or a self-signed certificate at the end of the configured chain; "" when
  // unknown.
  const std::string& rootPem() const { return rootPem_; }
  // The signer certificate's subject, one line ("CN=..., O=...").
  const std::string& subject() const { return subject_; }

  // The COSE signature (raw r||s for ECDSA) of `toBeSigned`; nullopt on failure.
  std::optional<std::string> sign(std::string_view toBeSigned) const;

 private:
  struct Key;
  C2paSigner();
  std::unique_ptr<Key> key_;
  int64_t algorithm_ = 0;
  size_t signatureSize_ = 0;
  std::vector<std::string> chain_;
  std::string rootPem_;
  std::string subject_;
};

}  // namespace quillbox
