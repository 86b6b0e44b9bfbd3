#include "TimeStampAuthority.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <chrono>

#include "Platform/Files/FileSystem.h"

namespace quillbox::devserver {
namespace {

struct Deleter {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(BIO* p) const { BIO_free(p); }
  void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
  void operator()(TS_RESP_CTX* p) const { TS_RESP_CTX_free(p); }
  void operator()(TS_RESP* p) const { TS_RESP_free(p); }
  void operator()(ASN1_OBJECT* p) const { ASN1_OBJECT_free(p); }
};
template <class T>
using Owned = std::unique_ptr<T, Deleter>;

// The example arc of the OID tree (2.999): this authority promises no policy.
const char kPolicy[] = "2.999.1";

std::string bioText(BIO* bio) {
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

Owned<EVP_PKEY> newKey() {
  return Owned<EVP_PKEY>(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
}

bool addExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  Owned<X509_EXTENSION> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
  return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

// A ten-year certificate of `key` named `cn`, issued by `issuer` (itself when null).
Owned<X509> makeCert(EVP_PKEY* key, const char* cn, X509* issuer, EVP_PKEY* issuerKey,
                     bool authority) {
  Owned<X509> cert(X509_new());
  if (!cert) return nullptr;
  X509_set_version(cert.get(), 2);
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7F;
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("quillbox"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn),
                             -1, -1, 0);
  X509* signer = issuer ? issuer : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
  bool ok = addExtension(cert.get(), signer, NID_subject_key_identifier, "hash") &&
            addExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
  if (authority) {
    ok = ok && addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE") &&
         addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    ok = ok && addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE") &&
         addExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature") &&
         addExtension(cert.get(), signer, NID_ext_key_usage, "critical,timeStamping");
  }
  if (!ok || X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) <= 0) return nullptr;
  return cert;
}

std::string certPem(X509* cert) {
  Owned<BIO> bio(BIO_new(BIO_s_mem()));
  return bio && PEM_write_bio_X509(bio.get(), cert) == 1 ? bioText(bio.get()) : "";
}

std::string keyPem(EVP_PKEY* key) {
  Owned<BIO> bio(BIO_new(BIO_s_mem()));
  return bio && PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1
             ? bioText(bio.get())
             : "";
}

// Makes the root, the signing certificate and its key; the root's key is not kept.
bool generate(const std::string& dir, std::string* error) {
  auto rootKey = newKey();
  auto tsaKey = newKey();
  auto root = rootKey
                  ? makeCert(rootKey.get(), "quillbox-devserver TSA root", nullptr, nullptr, true)
                  : nullptr;
  auto tsa = root && tsaKey ? makeCert(tsaKey.get(), "quillbox-devserver time-stamp authority",
                                       root.get(), rootKey.get(), false)
                            : nullptr;
  if (!tsa) {
    *error = "time-stamp authority certificates can't be made";
    return false;
  }
  auto& fs = platform::FileSystem::Default();
  const std::string key = keyPem(tsaKey.get());
  if (key.empty() || !fs.writeOwnerOnlyAtomically(dir + "/" + TimeStampAuthority::kKeyFile, key) ||
      !fs.writeAtomically(dir + "/" + TimeStampAuthority::kCertFile, certPem(tsa.get())) ||
      !fs.writeAtomically(dir + "/" + TimeStampAuthority::kRootFile, certPem(root.get()))) {
    *error = "time-stamp authority files can't be written in " + dir;
    return false;
  }
  return true;
}

std::atomic<uint64_t> g_serial{0};

ASN1_INTEGER* nextSerial(TS_RESP_CTX*, void*) {
  // Unique across restarts: the start time in the high bits, a counter below.
  static const uint64_t base =
      static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count())
      << 20;
  ASN1_INTEGER* serial = ASN1_INTEGER_new();
  if (serial) ASN1_INTEGER_set_uint64(serial, base + ++g_serial);
  return serial;
}

}  // namespace

struct TimeStampAuthority::Keys {
  Owned<X509> cert;
  Owned<EVP_PKEY> key;
};

TimeStampAuthority::TimeStampAuthority() : keys_(std::make_unique<Keys>()) {}
TimeStampAuthority::~TimeStampAuthority() = default;

std::unique_ptr<TimeStampAuthority> TimeStampAuthority::ensureIn(const std::string& dir,
                                                                 std::string* error) {
  auto& fs = platform::FileSystem::Default();
  const std::string certPath = dir + "/" + kCertFile, keyPath = dir + "/" + kKeyFile;
  std::unique_ptr<TimeStampAuthority> tsa(new TimeStampAuthority());
  tsa->rootPath_ = dir + "/" + kRootFile;
  if ((!fs.exists(certPath) || !fs.exists(keyPath) || !fs.exists(tsa->rootPath_)) &&
      !generate(dir, error)) {
    return nullptr;
  }
  auto cert = fs.readFile(certPath);
  auto key = fs.readFile(keyPath);
  if (cert && key) {
    Owned<BIO> c(BIO_new_mem_buf(cert->data(), static_cast<int>(cert->size())));
    Owned<BIO> k(BIO_new_mem_buf(key->data(), static_cast<int>(key->size())));
    if (c) tsa->keys_->cert.reset(PEM_read_bio_X509(c.get(), nullptr, nullptr, nullptr));
    if (k) tsa->keys_->key.reset(PEM_read_bio_PrivateKey(k.get(), nullptr, nullptr, nullptr));
  }
  if (!tsa->keys_->cert || !tsa->keys_->key) {
    *error = "time-stamp authority files in " + dir + " can't be read";
    return nullptr;
  }
  return tsa;
}

std::string TimeStampAuthority::reply(const std::string& query) const {
  // A context per reply: it holds the request being answered.
  Owned<TS_RESP_CTX> ctx(TS_RESP_CTX_new());
  Owned<ASN1_OBJECT> policy(OBJ_txt2obj(kPolicy, 1));
  Owned<BIO> in(BIO_new_mem_buf(query.data(), static_cast<int>(query.size())));
  if (!ctx || !policy || !in || TS_RESP_CTX_set_signer_cert(ctx.get(), keys_->cert.get()) != 1 ||
      TS_RESP_CTX_set_signer_key(ctx.get(), keys_->key.get()) != 1 ||
      TS_RESP_CTX_set_signer_digest(ctx.get(), EVP_sha256()) != 1 ||
      TS_RESP_CTX_set_ess_cert_id_digest(ctx.get(), EVP_sha256()) != 1 ||
      TS_RESP_CTX_set_def_policy(ctx.get(), policy.get()) != 1 ||
      TS_RESP_CTX_add_md(ctx.get(), EVP_sha256()) != 1 ||
      TS_RESP_CTX_add_md(ctx.get(), EVP_sha384()) != 1 ||
      TS_RESP_CTX_add_md(ctx.get(), EVP_sha512()) != 1 ||
      TS_RESP_CTX_set_accuracy(ctx.get(), 1, 0, 0) != 1) {
    return "";
  }
  TS_RESP_CTX_set_serial_cb(ctx.get(), nextSerial, nullptr);
  Owned<TS_RESP> resp(TS_RESP_create_response(ctx.get(), in.get()));
  unsigned char* der = nullptr;
  int n = resp ? i2d_TS_RESP(resp.get(), &der) : -1;
  if (n <= 0) return "";
  std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(n));
  OPENSSL_free(der);
  return out;
}

}  // namespace quillbox::devserver
