#include "Certificate.h"

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

#include "Platform/Files/FileSystem.h"

namespace quillbox::devserver {
namespace {

struct Deleter {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(BIO* p) const { BIO_free(p); }
  void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
};
template <class T>
using Owned = std::unique_ptr<T, Deleter>;

std::string bioText(BIO* bio) {
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

bool addExtension(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  Owned<X509_EXTENSION> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
  return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

bool generate(std::string* certPem, std::string* keyPem, std::string* error) {
  Owned<EVP_PKEY_CTX> kctx(EVP_PKEY_CTX_new_id(EVP_PKEY_EC, nullptr));
  EVP_PKEY* rawKey = nullptr;
  if (!kctx || EVP_PKEY_keygen_init(kctx.get()) != 1 ||
      EVP_PKEY_CTX_set_ec_paramgen_curve_nid(kctx.get(), NID_X9_62_prime256v1) != 1 ||
      EVP_PKEY_keygen(kctx.get(), &rawKey) != 1) {
    *error = "key generation failed";
    return false;
  }
  Owned<EVP_PKEY> key(rawKey);
  Owned<X509> cert(X509_new());
  if (!cert) {
    *error = "out of memory";
    return false;
  }
  X509_set_version(cert.get(), 2);  // v3
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7F;  // keep the serial positive
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("quillbox"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("quillbox-devserver"), -1, -1,
                             0);
  X509_set_issuer_name(cert.get(), name);
  bool ok = addExtension(cert.get(), NID_basic_constraints, "critical,CA:TRUE") &&
            addExtension(cert.get(), NID_key_usage,
                         "critical,digitalSignature,keyEncipherment,keyCertSign") &&
            addExtension(cert.get(), NID_ext_key_usage, "serverAuth") &&
            addExtension(cert.get(), NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost,IP:::1") &&
            addExtension(cert.get(), NID_subject_key_identifier, "hash") &&
            addExtension(cert.get(), NID_authority_key_identifier, "keyid:always");
  if (!ok || X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0) {
    *error = "certificate signing failed";
    return false;
  }
  Owned<BIO> certBio(BIO_new(BIO_s_mem()));
  Owned<BIO> keyBio(BIO_new(BIO_s_mem()));
  if (!certBio || !keyBio || PEM_write_bio_X509(certBio.get(), cert.get()) != 1 ||
      PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
          1) {
    *error = "PEM encoding failed";
    return false;
  }
  *certPem = bioText(certBio.get());
  *keyPem = bioText(keyBio.get());
  return true;
}

}  // namespace

std::optional<Certificate> Certificate::ensureIn(const std::string& dir, std::string* error) {
  Certificate c;
  c.certPath_ = dir + "/" + kCertFile;
  c.keyPath_ = dir + "/" + kKeyFile;
  auto& fs = platform::FileSystem::Default();
  if (fs.exists(c.certPath_) && fs.exists(c.keyPath_)) return c;

  std::string certPem, keyPem;
  if (!generate(&certPem, &keyPem, error)) return std::nullopt;
  // The key file is owner-only from its first byte on.
  if (!fs.writeOwnerOnlyAtomically(c.keyPath_, keyPem)) {
    *error = "cannot write " + c.keyPath_;
    return std::nullopt;
  }
  if (!fs.writeAtomically(c.certPath_, certPem)) {
    *error = "cannot write " + c.certPath_;
    return std::nullopt;
  }
  return c;
}

}  // namespace quillbox::devserver
