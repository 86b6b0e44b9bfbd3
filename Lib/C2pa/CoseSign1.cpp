#include "C2pa/CoseSign1.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <memory>

#include "Proof/OpenSslPointers.h"

namespace quillbox {
namespace {

constexpr uint64_t kCoseSign1Tag = 18;
constexpr int64_t kAlgLabel = 1;
constexpr int64_t kX5ChainLabel = 33;

bool isEcdsa(int64_t alg) {
  return alg == -7 || alg == -35 || alg == -36;
}

bool isPss(int64_t alg) {
  return alg == -37 || alg == -38 || alg == -39;
}

// The DER form OpenSSL verifies of a raw r||s ECDSA signature.
std::string ecdsaDer(std::string_view raw) {
  if (raw.empty() || raw.size() % 2) return "";
  const auto* p = reinterpret_cast<const unsigned char*>(raw.data());
  const int half = static_cast<int>(raw.size() / 2);
  EcSigPtr sig(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(p, half, nullptr);
  BIGNUM* s = BN_bin2bn(p + half, half, nullptr);
  if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
    BN_free(r);
    BN_free(s);
    return "";
  }
  unsigned char* der = nullptr;
  int n = i2d_ECDSA_SIG(sig.get(), &der);
  if (n <= 0) return "";
  std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(n));
  OPENSSL_free(der);
  return out;
}

size_t padEntrySize(const char* key, size_t n) {
  return CborValue::text(key).encode().size() +
         CborValue::bytes(std::string(n, '\0')).encode().size();
}

// n such that a pad entry named `key` of n zero bytes takes exactly `bytes`.
std::optional<size_t> padFor(const char* key, size_t bytes) {
  for (size_t n = bytes > 16 ? bytes - 16 : 0; n <= bytes; ++n)
    if (padEntrySize(key, n) == bytes) return n;
  return std::nullopt;
}

}  // namespace

const EVP_MD* CoseSign1::digestOf(int64_t alg) {
  switch (alg) {
    case -7:
    case -37:
      return EVP_sha256();
    case -35:
    case -38:
      return EVP_sha384();
    case -36:
    case -39:
      return EVP_sha512();
    default:
      return nullptr;
  }
}

std::string CoseSign1::protectedHeader(int64_t alg, const std::vector<std::string>& chain) {
  CborValue certs;
  if (chain.size() == 1) {
    certs = CborValue::bytes(chain.front());
  } else {
    std::vector<CborValue> items;
    items.reserve(chain.size());
    for (const std::string& c : chain) items.push_back(CborValue::bytes(c));
    certs = CborValue::array(std::move(items));
  }
  return CborValue::map({{CborValue::integer(kAlgLabel), CborValue::integer(alg)},
                         {CborValue::integer(kX5ChainLabel), certs}})
      .encode();
}

std::string CoseSign1::toBeSigned(std::string_view context, std::string_view protectedBytes,
                                  std::string_view payload) {
  return CborValue::array({CborValue::text(std::string(context)),
                           CborValue::bytes(std::string(protectedBytes)), CborValue::bytes(""),
                           CborValue::bytes(std::string(payload))})
      .encode();
}

std::string CoseSign1::timeStampImprint(std::string_view protectedBytes,
                                        std::string_view signature) {
  const std::string tbs = toBeSigned("CounterSignature", protectedBytes,
                                     CborValue::bytes(std::string(signature)).encode());
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(tbs.data(), tbs.size(), md, &len, EVP_sha256(), nullptr) != 1) return "";
  return {reinterpret_cast<char*>(md), len};
}

std::optional<CborValue> CoseSign1::unprotectedHeader(std::string_view protectedBytes,
                                                      std::string_view signature,
                                                      std::string_view token,
                                                      std::optional<size_t> size) {
  std::vector<std::pair<CborValue, CborValue>> entries;
  if (!token.empty()) {
    CborValue tokens = CborValue::array(
        {CborValue::map({{CborValue::text("val"), CborValue::bytes(std::string(token))}})});
    entries.emplace_back(CborValue::text("sigTst2"),
                         CborValue::map({{CborValue::text("tstTokens"), tokens}}));
  }
  CborValue bare = CborValue::map(entries);
  const size_t now = encode(protectedBytes, bare, signature).size();
  if (!size || *size == now) return bare;
  // A pad entry adds its own bytes; the map's head stays one byte (few entries).
  if (*size < now + padEntrySize("pad", 0)) return std::nullopt;
  const size_t room = *size - now;
  std::optional<size_t> one = padFor("pad", room);
  if (one) {
    entries.emplace_back(CborValue::text("pad"), CborValue::bytes(std::string(*one, '\0')));
  } else {
    // Some sizes no single byte string reaches: "pad2" takes a few bytes more.
    const size_t second = padEntrySize("pad2", 0);
    std::optional<size_t> rest = padFor("pad", room - second);
    if (!rest) return std::nullopt;
    entries.emplace_back(CborValue::text("pad"), CborValue::bytes(std::string(*rest, '\0')));
    entries.emplace_back(CborValue::text("pad2"), CborValue::bytes(""));
  }
  CborValue padded = CborValue::map(std::move(entries));
  if (encode(protectedBytes, padded, signature).size() != *size) return std::nullopt;
  return padded;
}

std::string CoseSign1::encode(std::string_view protectedBytes, const CborValue& unprotected,
                              std::string_view signature) {
  return CborValue::tag(
             kCoseSign1Tag,
             CborValue::array({CborValue::bytes(std::string(protectedBytes)), unprotected,
                               CborValue::null(), CborValue::bytes(std::string(signature))}))
      .encode();
}

std::optional<CoseSign1::Parsed> CoseSign1::parse(std::string_view cose, std::string* error) {
  auto value = CborValue::decode(cose);
  const CborValue* sign1 =
      value && value->type() == CborValue::Type::Tag && value->number() == kCoseSign1Tag
          ? &value->items().front()
          : nullptr;
  if (!sign1 || !sign1->isArray() || sign1->items().size() != 4 || !sign1->items()[0].isBytes() ||
      !sign1->items()[1].isMap() || !sign1->items()[3].isBytes()) {
    *error = "the claim signature is not a COSE_Sign1_Tagged structure";
    return std::nullopt;
  }
  Parsed p;
  p.protectedBytes = sign1->items()[0].string();
  p.signature = sign1->items()[3].string();
  auto header = CborValue::decode(p.protectedBytes);
  if (!header || !header->isMap()) {
    *error = "the protected header is not a map";
    return std::nullopt;
  }
  const CborValue& unprotected = sign1->items()[1];
  const CborValue* alg = header->find(kAlgLabel);
  if (!alg || !alg->asInteger()) {
    *error = "the protected header names no algorithm";
    return std::nullopt;
  }
  p.algorithm = *alg->asInteger();
  // Exactly one credential: the integer label wins over the older string label.
  std::vector<const CborValue*> chains;
  for (const CborValue* bucket : {static_cast<const CborValue*>(&*header), &unprotected}) {
    const CborValue* c = bucket->find(kX5ChainLabel);
    if (!c) c = bucket->find("x5chain");
    if (c) chains.push_back(c);
  }
  if (chains.size() != 1) {
    *error = chains.empty() ? "the signature carries no certificate chain"
                            : "the signature carries more than one certificate chain";
    return std::nullopt;
  }
  if (chains.front()->isBytes()) p.chain.push_back(chains.front()->string());
  for (const CborValue& c : chains.front()->items())
    if (c.isBytes()) p.chain.push_back(c.string());
  if (p.chain.empty()) {
    *error = "the certificate chain is empty";
    return std::nullopt;
  }
  if (const CborValue* tst = unprotected.find("sigTst2")) {
    const CborValue* tokens = tst->find("tstTokens");
    if (tokens && !tokens->items().empty()) {
      const CborValue* val = tokens->items().front().find("val");
      if (val && val->isBytes()) p.timeStampToken = val->string();
    }
  }
  p.legacyTimeStamp = unprotected.find("sigTst") != nullptr;
  return p;
}

bool CoseSign1::verify(int64_t alg, std::string_view certDer, std::string_view toBeSigned,
                       std::string_view signature) {
  const auto* p = reinterpret_cast<const unsigned char*>(certDer.data());
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(certDer.size())));
  PkeyPtr key(cert ? X509_get_pubkey(cert.get()) : nullptr);
  MdCtxPtr ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;
  const bool eddsa = alg == -8;
  if (!key || !ctx || (!eddsa && !digestOf(alg)) ||
      (eddsa && EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_ED25519) ||
      (isEcdsa(alg) && EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_EC) ||
      EVP_DigestVerifyInit(ctx.get(), &pctx, digestOf(alg), nullptr, key.get()) != 1) {
    ERR_clear_error();
    return false;
  }
  if (isPss(alg) && (EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING) != 1 ||
                     EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, RSA_PSS_SALTLEN_DIGEST) != 1 ||
                     EVP_PKEY_CTX_set_rsa_mgf1_md(pctx, digestOf(alg)) != 1)) {
    ERR_clear_error();
    return false;
  }
  std::string sig = isEcdsa(alg) ? ecdsaDer(signature) : std::string(signature);
  bool ok = !sig.empty() &&
            EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(sig.data()),
                             sig.size(), reinterpret_cast<const unsigned char*>(toBeSigned.data()),
                             toBeSigned.size()) == 1;
  ERR_clear_error();
  return ok;
}

}  // namespace quillbox
