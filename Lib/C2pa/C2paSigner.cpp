#include "C2pa/C2paSigner.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <map>
#include <mutex>

#include "C2pa/CoseSign1.h"
#include "Platform/Files/FileLock.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "Proof/OpenSslPointers.h"

namespace quillbox {

using platform::FileSystem;
using platform::Log;

namespace {

const char kLogMade[] = "日志:内容凭证签名证书已生成 %s";
const char kLogFailed[] = "日志:内容凭证签名证书无法生成或保存: %s";
const char kLogUnusable[] = "日志:内容凭证签名证书无法使用 (%s): %s";
const char kLogUnreadable[] = "日志:内容凭证签名证书无法读取, 已另存为 %s";

// Extended key usages of the signer: C2PA claim signing and document signing.
const char kSignerEku[] = "1.3.6.1.4.1.62558.2.1,1.3.6.1.5.5.7.3.36";
constexpr long kRootDays = 365L * 30;
constexpr long kSignerDays = 365L * 5;
constexpr long kRenewDays = 30;
constexpr long kBackdateSeconds = 3600;  // tolerance for a verifier's clock

using ExtPtr = OpenSslPtr<X509_EXTENSION, X509_EXTENSION_free>;

BioPtr memBio(std::string_view text) {
  return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

std::string bioText(BIO* bio) {
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

PkeyPtr readKey(std::string_view pem) {
  BioPtr bio = memBio(pem);
  PkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  ERR_clear_error();
  return key;
}

std::vector<X509Ptr> readCerts(std::string_view pem) {
  std::vector<X509Ptr> certs;
  BioPtr bio = memBio(pem);
  while (bio) {
    X509* c = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
    if (!c) break;
    certs.emplace_back(c);
  }
  ERR_clear_error();
  return certs;
}

std::string keyPem(EVP_PKEY* key) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
    return "";
  return bioText(bio.get());
}

std::string certPem(X509* cert) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) return "";
  return bioText(bio.get());
}

std::string certDer(X509* cert) {
  unsigned char* der = nullptr;
  int n = i2d_X509(cert, &der);
  if (n <= 0) return "";
  std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(n));
  OPENSSL_free(der);
  return out;
}

bool selfSigned(X509* cert) {
  return X509_check_issued(cert, cert) == X509_V_OK;
}

std::string oneLine(const X509_NAME* name) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB) < 0)
    return "";
  return bioText(bio.get());
}

bool addExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  ExtPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
  return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

bool setName(X509_NAME* name, const std::string& commonName) {
  auto add = [&](const char* field, const std::string& value) {
    return X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                      reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1,
                                      0) == 1;
  };
  return add("O", "quillbox") && add("CN", commonName);
}

// A certificate for `key`, issued by `issuer` (itself when null) signing with `issuerKey`.
X509Ptr issue(EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, const std::string& commonName,
              long days, bool ca) {
  X509Ptr cert(X509_new());
  BnPtr serial(BN_new());
  if (!cert || !serial || BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
      !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())) ||
      X509_set_version(cert.get(), 2) != 1 || X509_set_pubkey(cert.get(), key) != 1 ||
      !setName(X509_get_subject_name(cert.get()), commonName) ||
      !X509_gmtime_adj(X509_getm_notBefore(cert.get()), -kBackdateSeconds) ||
      !X509_time_adj_ex(X509_getm_notAfter(cert.get()), static_cast<int>(days), 0, nullptr)) {
    return nullptr;
  }
  X509* by = issuer ? issuer : cert.get();
  if (X509_set_issuer_name(cert.get(), X509_get_subject_name(by)) != 1) return nullptr;
  if (issuer && ASN1_TIME_compare(X509_get0_notAfter(issuer), X509_get0_notAfter(cert.get())) < 0 &&
      X509_set1_notAfter(cert.get(), X509_get0_notAfter(issuer)) != 1) {
    return nullptr;
  }
  bool ok = addExtension(cert.get(), by, NID_subject_key_identifier, "hash");
  if (ca) {
    ok = ok && addExtension(cert.get(), by, NID_basic_constraints, "critical,CA:TRUE") &&
         addExtension(cert.get(), by, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    ok = ok && addExtension(cert.get(), by, NID_authority_key_identifier, "keyid:always") &&
         addExtension(cert.get(), by, NID_basic_constraints, "critical,CA:FALSE") &&
         addExtension(cert.get(), by, NID_key_usage, "critical,digitalSignature") &&
         addExtension(cert.get(), by, NID_ext_key_usage, kSignerEku);
  }
  if (!ok || X509_sign(cert.get(), issuerKey, EVP_sha256()) <= 0) return nullptr;
  return cert;
}

PkeyPtr newKey() {
  return PkeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
}

// True when `cert` certifies `key`, was issued by `root` and is valid for a while yet.
bool signerUsable(X509* cert, EVP_PKEY* key, X509* root, EVP_PKEY* rootKey) {
  time_t soon = std::time(nullptr) + kRenewDays * 24 * 3600;
  bool ok = X509_check_private_key(cert, key) == 1 && X509_check_issued(root, cert) == X509_V_OK &&
            X509_verify(cert, rootKey) == 1 && X509_cmp_time(X509_get0_notAfter(cert), &soon) > 0 &&
            X509_cmp_current_time(X509_get0_notBefore(cert)) < 0;
  ERR_clear_error();
  return ok;
}

bool rootUsable(X509* cert, EVP_PKEY* key) {
  bool ok = X509_check_private_key(cert, key) == 1 && selfSigned(cert) &&
            X509_cmp_current_time(X509_get0_notAfter(cert)) > 0;
  ERR_clear_error();
  return ok;
}

struct Pair {
  PkeyPtr key;
  X509Ptr cert;
};

// The key and certificate of `keyPath`/`certPath` when both read; a key file
// that can't be read is kept aside, never overwritten.
Pair readPair(FileSystem& fs, const std::string& keyPath, const std::string& certPath) {
  Pair p;
  auto keyText = fs.readFile(keyPath);
  auto certText = fs.readFile(certPath);
  if (keyText) p.key = readKey(*keyText);
  if (keyText && !p.key) {
    std::string aside = keyPath + ".unreadable";
    fs.writeOwnerOnlyAtomically(aside, *keyText);
    Log::printf(kLogUnreadable, aside.c_str());
  }
  if (certText) {
    auto certs = readCerts(*certText);
    if (!certs.empty()) p.cert = std::move(certs.front());
  }
  return p;
}

bool writePair(FileSystem& fs, const std::string& keyPath, const std::string& certPath,
               const Pair& p) {
  std::string k = keyPem(p.key.get()), c = certPem(p.cert.get());
  return !k.empty() && !c.empty() && fs.writeOwnerOnlyAtomically(keyPath, k) &&
         fs.writeAtomically(certPath, c);
}

int64_t algorithmOf(EVP_PKEY* key, size_t* sigSize) {
  struct Choice {
    int64_t alg;
    size_t size;
  };
  Choice c{0, 0};
  switch (EVP_PKEY_get_base_id(key)) {
    case EVP_PKEY_EC: {
      char group[64] = {};
      size_t len = 0;
      if (EVP_PKEY_get_group_name(key, group, sizeof group, &len) != 1) break;
      const std::string g(group, len);
      if (g == "prime256v1" || g == "P-256") c = {-7, 64};
      if (g == "secp384r1" || g == "P-384") c = {-35, 96};
      if (g == "secp521r1" || g == "P-521") c = {-36, 132};
      break;
    }
    case EVP_PKEY_ED25519:
      c = {-8, 64};
      break;
    case EVP_PKEY_RSA:
    case EVP_PKEY_RSA_PSS:
      if (EVP_PKEY_get_bits(key) >= 2048) c = {-37, static_cast<size_t>(EVP_PKEY_get_size(key))};
      break;
    default:
      break;
  }
  *sigSize = c.size;
  return c.alg;
}

}  // namespace

struct C2paSigner::Key {
  PkeyPtr pkey;
};

C2paSigner::C2paSigner() : key_(std::make_unique<Key>()) {}
C2paSigner::~C2paSigner() = default;

std::string C2paSigner::defaultFolder() {
  return platform::Environment::home() + "/.local/share/quillbox";
}

std::shared_ptr<const C2paSigner> C2paSigner::shared() {
  static std::mutex mu;
  static auto* loaded = new std::map<std::string, std::shared_ptr<const C2paSigner>>;
  const std::string certFile = platform::Environment::c2paCertFile();
  const std::string keyFile = platform::Environment::c2paKeyFile();
  const std::string id = certFile.empty() ? defaultFolder() : certFile + "\n" + keyFile;
  std::lock_guard<std::mutex> guard(mu);
  if (auto it = loaded->find(id); it != loaded->end()) return it->second;
  std::shared_ptr<const C2paSigner> signer;
  if (certFile.empty()) {
    signer = loadOrCreate(defaultFolder());
  } else {
    FileSystem& fs = FileSystem::Default();
    auto chain = fs.readFile(certFile);
    auto key = keyFile.empty() ? std::nullopt : fs.readFile(keyFile);
    std::string error = !chain ? "QUILLBOX_C2PA_CERT can't be read"
                        : !key ? "QUILLBOX_C2PA_KEY can't be read"
                               : "";
    if (error.empty()) signer = fromPem(*chain, *key, &error);
    if (!signer) Log::printf(kLogUnusable, certFile.c_str(), error.c_str());
  }
  if (signer) (*loaded)[id] = signer;
  return signer;
}

std::shared_ptr<const C2paSigner> C2paSigner::loadOrCreate(const std::string& folder) {
  FileSystem& fs = FileSystem::Default();
  const std::string rootKey = folder + "/" + kRootKeyFile, rootCert = folder + "/" + kRootCertFile;
  const std::string signerKey = folder + "/" + kSignerKeyFile,
                    signerCert = folder + "/" + kSignerCertFile;
  fs.createDirectories(folder);
  platform::StoreLock lock(signerCert);

  Pair root = readPair(fs, rootKey, rootCert);
  Pair signer = readPair(fs, signerKey, signerCert);
  bool newRoot = !root.key || !root.cert || !rootUsable(root.cert.get(), root.key.get());
  if (newRoot) {
    root.key = newKey();
    root.cert = root.key ? issue(root.key.get(), nullptr, root.key.get(),
                                 "quillbox local content credentials root", kRootDays, true)
                         : nullptr;
    if (!root.cert || !writePair(fs, rootKey, rootCert, root)) {
      Log::printf(kLogFailed, rootCert.c_str());
      return nullptr;
    }
    Log::printf(kLogMade, rootCert.c_str());
  }
  if (newRoot || !signer.key || !signer.cert ||
      !signerUsable(signer.cert.get(), signer.key.get(), root.cert.get(), root.key.get())) {
    if (!signer.key) signer.key = newKey();
    signer.cert = signer.key ? issue(signer.key.get(), root.cert.get(), root.key.get(),
                                     "quillbox capture signer", kSignerDays, false)
                             : nullptr;
    if (!signer.cert || !writePair(fs, signerKey, signerCert, signer)) {
      Log::printf(kLogFailed, signerCert.c_str());
      return nullptr;
    }
    Log::printf(kLogMade, signerCert.c_str());
  }
  std::string error;
  auto made = fromPem(certPem(signer.cert.get()) + certPem(root.cert.get()),
                      keyPem(signer.key.get()), &error);
  if (!made) Log::printf(kLogUnusable, signerCert.c_str(), error.c_str());
  return made;
}

std::shared_ptr<const C2paSigner> C2paSigner::fromPem(std::string_view chainPem,
                                                      std::string_view keyPem, std::string* error) {
  std::vector<X509Ptr> certs = readCerts(chainPem);
  std::shared_ptr<C2paSigner> s(new C2paSigner());
  s->key_->pkey = readKey(keyPem);
  if (certs.empty()) {
    *error = "no certificate in the chain";
    return nullptr;
  }
  if (!s->key_->pkey || X509_check_private_key(certs.front().get(), s->key_->pkey.get()) != 1) {
    ERR_clear_error();
    *error = "the private key doesn't belong to the first certificate";
    return nullptr;
  }
  s->algorithm_ = algorithmOf(s->key_->pkey.get(), &s->signatureSize_);
  if (s->algorithm_ == 0) {
    *error = "the key is neither EC P-256/384/521, Ed25519 nor RSA of 2048 bits or more";
    return nullptr;
  }
  for (const X509Ptr& c : certs) {
    if (selfSigned(c.get())) {
      s->rootPem_ = certPem(c.get());
      continue;  // a verifier brings its own trust anchors
    }
    s->chain_.push_back(certDer(c.get()));
  }
  if (s->chain_.empty()) {
    *error = "the signer's certificate is self-signed";
    return nullptr;
  }
  s->subject_ = oneLine(X509_get_subject_name(certs.front().get()));
  return s;
}

std::optional<std::string> C2paSigner::sign(std::string_view toBeSigned) const {
  MdCtxPtr ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;
  if (!ctx || EVP_DigestSignInit(ctx.get(), &pctx, CoseSign1::digestOf(algorithm_), nullptr,
                                 key_->pkey.get()) != 1) {
    return std::nullopt;
  }
  if (algorithm_ == -37 && (EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING) != 1 ||
                            EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, RSA_PSS_SALTLEN_DIGEST) != 1 ||
                            EVP_PKEY_CTX_set_rsa_mgf1_md(pctx, EVP_sha256()) != 1)) {
    return std::nullopt;
  }
  size_t len = 0;
  const auto* data = reinterpret_cast<const unsigned char*>(toBeSigned.data());
  if (EVP_DigestSign(ctx.get(), nullptr, &len, data, toBeSigned.size()) != 1) return std::nullopt;
  std::string sig(len, '\0');
  if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(sig.data()), &len, data,
                     toBeSigned.size()) != 1) {
    return std::nullopt;
  }
  sig.resize(len);
  if (algorithm_ != -7 && algorithm_ != -35 && algorithm_ != -36) return sig;
  // COSE carries ECDSA signatures as r||s of fixed width, not as DER.
  const auto* p = reinterpret_cast<const unsigned char*>(sig.data());
  EcSigPtr ec(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(sig.size())));
  if (!ec) return std::nullopt;
  const BIGNUM *r = nullptr, *s = nullptr;
  ECDSA_SIG_get0(ec.get(), &r, &s);
  const int half = static_cast<int>(signatureSize_ / 2);
  std::string raw(signatureSize_, '\0');
  auto* out = reinterpret_cast<unsigned char*>(raw.data());
  if (BN_bn2binpad(r, out, half) != half || BN_bn2binpad(s, out + half, half) != half)
    return std::nullopt;
  return raw;
}

}  // namespace quillbox
