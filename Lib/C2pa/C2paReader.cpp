#include "C2pa/C2paReader.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <ctime>
#include <memory>
#include <optional>

#include "C2pa/C2paManifest.h"
#include "C2pa/CborValue.h"
#include "C2pa/CoseSign1.h"
#include "C2pa/JumbfBox.h"
#include "C2pa/PngChunks.h"
#include "Proof/OpenSslPointers.h"
#include "Proof/TimeStampClient.h"

namespace quillbox {
namespace {

struct CertStackFree {
  void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};
using CertStackPtr = std::unique_ptr<STACK_OF(X509), CertStackFree>;

constexpr std::string_view kSelf = "self#jumbf=";

X509Ptr parseDer(std::string_view der) {
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  X509Ptr c(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  ERR_clear_error();
  return c;
}

std::string oneLine(const X509_NAME* name) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB) < 0)
    return "";
  char* data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

std::string digest(const EVP_MD* md, std::string_view data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!md || EVP_Digest(data.data(), data.size(), out, &len, md, nullptr) != 1) return "";
  return {reinterpret_cast<char*>(out), len};
}

const EVP_MD* hashNamed(const std::string& alg) {
  if (alg == "sha256") return EVP_sha256();
  if (alg == "sha384") return EVP_sha384();
  if (alg == "sha512") return EVP_sha512();
  return nullptr;
}

std::string textOf(const CborValue* v) {
  return v && v->isText() ? v->string() : std::string();
}

// "name version" of a generator-info map (or a plain string, as older claims write).
std::string generatorText(const CborValue* v) {
  if (!v) return "";
  if (v->isText()) return v->string();
  if (v->isArray() && !v->items().empty()) v = &v->items().front();
  std::string name = textOf(v->find("name")), version = textOf(v->find("version"));
  return version.empty() ? name : name + " " + version;
}

// The CBOR of a superbox's first content box when it is CBOR.
std::optional<CborValue> cborOf(const JumbfBox* b) {
  if (!b || b->boxes.empty() || b->boxes.front().type != "cbor") return std::nullopt;
  return CborValue::decode(b->boxes.front().payload);
}

class Check {
 public:
  Check(std::string_view png, const std::vector<std::string>& anchors)
      : png_(png), anchors_(anchors) {}

  C2paReader::Report run() {
    auto chunks = PngChunks::list(png_);
    if (!chunks) return fail("the file is not a well-formed PNG");
    const PngChunks::Chunk* found = nullptr;
    for (const auto& c : *chunks) {
      if (c.type != C2paManifest::kChunkType) continue;
      if (found) return fail("the file carries more than one manifest store");
      found = &c;
    }
    if (!found) return r_;
    r_.present = true;
    chunk_ = *found;
    store_ = png_.substr(found->offset + 8, found->length);
    auto store = JumbfBox::parse(store_);
    if (!store || store->uuid != C2paManifest::kStoreUuid)
      return fail("the caBX chunk holds no C2PA manifest store");
    storeBox_ = *store;
    for (const JumbfBox& b : storeBox_.boxes) {
      if (b.isSuperbox() &&
          (b.uuid == C2paManifest::kManifestUuid || b.uuid.compare(0, 4, "c2md") == 0 ||
           b.uuid.compare(0, 4, "c2um") == 0))
        manifest_ = &b;
    }
    if (!manifest_) return fail("the manifest store holds no manifest");
    r_.manifest = manifest_->label;
    checkManifest();
    return r_;
  }

 private:
  C2paReader::Report fail(const std::string& why) {
    r_.error = why;
    return r_;
  }

  void failure(const std::string& code, const std::string& detail, const std::string& what = "") {
    r_.failures.push_back(code);
    r_.details.push_back(code + ": " + detail);
    if (!what.empty()) r_.changed.push_back(what);
  }
  void warning(const std::string& code, const std::string& detail) {
    r_.warnings.push_back(code);
    r_.details.push_back(code + ": " + detail);
  }

  // The superbox a self#jumbf URI names; nullptr when it resolves to nothing.
  const JumbfBox* resolve(const std::string& url) const {
    if (url.compare(0, kSelf.size(), kSelf) != 0 || url.find("..") != std::string::npos)
      return nullptr;
    std::string path = url.substr(kSelf.size());
    const JumbfBox* at = manifest_;
    if (!path.empty() && path[0] == '/') {
      path.erase(0, 1);
      size_t slash = path.find('/');
      if (path.substr(0, slash) != storeBox_.label) return nullptr;
      at = &storeBox_;
      path = slash == std::string::npos ? "" : path.substr(slash + 1);
    }
    while (at && !path.empty()) {
      size_t slash = path.find('/');
      at = at->child(path.substr(0, slash));
      path = slash == std::string::npos ? "" : path.substr(slash + 1);
    }
    return at;
  }

  void checkManifest() {
    const JumbfBox* claimBox = manifest_->child(C2paManifest::kClaimLabel);
    if (!claimBox) claimBox = manifest_->child("c2pa.claim");
    const JumbfBox* sigBox = manifest_->child(C2paManifest::kSignatureLabel);
    if (!claimBox || claimBox->boxes.empty() || claimBox->boxes.front().type != "cbor") {
      failure("claim.missing", "the manifest holds no claim", "the manifest");
      return;
    }
    const std::string& claimBytes = claimBox->boxes.front().payload;
    auto claim = CborValue::decode(claimBytes);
    if (!claim || !claim->isMap()) {
      failure("claim.malformed", "the claim is not a CBOR map", "the manifest");
      return;
    }
    r_.title = textOf(claim->find("dc:title"));
    r_.claimGenerator = generatorText(claim->find("claim_generator_info"));
    if (r_.claimGenerator.empty()) r_.claimGenerator = textOf(claim->find("claim_generator"));
    checkSignature(sigBox, claimBytes);
    const std::string alg =
        textOf(claim->find("alg")).empty() ? "sha256" : textOf(claim->find("alg"));
    bool bound = false;
    for (const char* list : {"created_assertions", "gathered_assertions", "assertions"}) {
      const CborValue* refs = claim->find(list);
      if (!refs) continue;
      for (const CborValue& ref : refs->items()) checkReference(ref, alg, &bound);
    }
    if (!bound)
      failure("claim.hardBindings.missing", "the claim has no hard binding", "the manifest");
  }

  void checkReference(const CborValue& ref, const std::string& claimAlg, bool* bound) {
    const std::string url = textOf(ref.find("url"));
    const CborValue* hash = ref.find("hash");
    const std::string alg = textOf(ref.find("alg")).empty() ? claimAlg : textOf(ref.find("alg"));
    const JumbfBox* box = resolve(url);
    std::string label = url.substr(url.rfind('/') == std::string::npos ? 0 : url.rfind('/') + 1);
    if (!box) {
      failure("assertion.missing", url + " resolves to no box", "the assertion " + label);
      return;
    }
    if (!hash || !hash->isBytes() ||
        digest(hashNamed(alg), box->contents(store_)) != hash->string()) {
      failure("assertion.hashedURI.mismatch", "the hash of " + url + " doesn't match",
              "the assertion " + label);
      return;
    }
    if (label == C2paManifest::kDataHashLabel) {
      *bound = true;
      checkDataHash(*box, alg);
    } else if (label.rfind("c2pa.actions", 0) == 0 && r_.action.empty()) {
      readActions(*box);
    }
  }

  void checkDataHash(const JumbfBox& box, const std::string& claimAlg) {
    auto map = cborOf(&box);
    const CborValue* hash = map ? map->find("hash") : nullptr;
    const std::string alg =
        textOf(map ? map->find("alg") : nullptr).empty() ? claimAlg : textOf(map->find("alg"));
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!hash || !hash->isBytes() || !hashNamed(alg) ||
        EVP_DigestInit_ex(ctx.get(), hashNamed(alg), nullptr) != 1) {
      failure("assertion.dataHash.malformed", "the data hash can't be read", "the manifest");
      return;
    }
    size_t at = 0;
    bool coversStore = false;
    if (const CborValue* exclusions = map->find("exclusions")) {
      for (const CborValue& ex : exclusions->items()) {
        const CborValue* s = ex.find("start");
        const CborValue* n = ex.find("length");
        const int64_t start = s && s->asInteger() ? *s->asInteger() : -1;
        const int64_t length = n && n->asInteger() ? *n->asInteger() : -1;
        if (start < static_cast<int64_t>(at) || length < 0 ||
            static_cast<uint64_t>(start) + static_cast<uint64_t>(length) > png_.size()) {
          failure("assertion.dataHash.mismatch", "an exclusion range lies outside the file",
                  "the image data");
          return;
        }
        EVP_DigestUpdate(ctx.get(), png_.data() + at, static_cast<size_t>(start) - at);
        at = static_cast<size_t>(start + length);
        coversStore = coversStore || (static_cast<size_t>(start) <= chunk_.offset &&
                                      at >= chunk_.offset + chunk_.size());
      }
    }
    EVP_DigestUpdate(ctx.get(), png_.data() + at, png_.size() - at);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx.get(), md, &len);
    if (!coversStore || hash->string() != std::string(reinterpret_cast<char*>(md), len)) {
      failure("assertion.dataHash.mismatch",
              "the file's bytes outside the manifest differ from those signed", "the image data");
    }
  }

  void readActions(const JumbfBox& box) {
    auto map = cborOf(&box);
    const CborValue* actions = map ? map->find("actions") : nullptr;
    if (!actions || actions->items().empty()) return;
    const CborValue& first = actions->items().front();
    r_.action = textOf(first.find("action"));
    r_.digitalSourceType = textOf(first.find("digitalSourceType"));
    const CborValue* when = first.find("when");
    if (when && when->type() == CborValue::Type::Tag) when = &when->items().front();
    r_.when = textOf(when);
    r_.softwareAgent = generatorText(first.find("softwareAgent"));
  }

  void checkSignature(const JumbfBox* sigBox, const std::string& claimBytes) {
    std::string error;
    std::optional<CoseSign1::Parsed> cose;
    if (sigBox && !sigBox->boxes.empty() && sigBox->boxes.front().type == "cbor")
      cose = CoseSign1::parse(sigBox->boxes.front().payload, &error);
    if (!cose) {
      failure("claimSignature.missing", error.empty() ? "the manifest holds no signature" : error,
              "the claim signature");
      return;
    }
    X509Ptr leaf = parseDer(cose->chain.front());
    if (!leaf) {
      failure("signingCredential.invalid", "the signer's certificate can't be read",
              "the claim signature");
      return;
    }
    r_.signer = oneLine(X509_get_subject_name(leaf.get()));
    r_.issuer = oneLine(X509_get_issuer_name(leaf.get()));
    if (!CoseSign1::verify(cose->algorithm, cose->chain.front(),
                           CoseSign1::toBeSigned("Signature1", cose->protectedBytes, claimBytes),
                           cose->signature)) {
      failure("claimSignature.mismatch", "the claim doesn't match its signature",
              "the claim or its signature");
    }
    time_t at = std::time(nullptr);
    if (!cose->timeStampToken.empty()) {
      TimeStampClient::Check t = TimeStampClient::verifyToken(
          cose->timeStampToken, CoseSign1::timeStampImprint(cose->protectedBytes, cose->signature));
      if (t.ok) {
        r_.stampTime = t.genTime;
        std::tm tm{};
        if (strptime(t.genTime.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm)) at = timegm(&tm);
      } else if (t.error.find("imprint") != std::string::npos) {
        failure("timeStamp.mismatch", "the time stamp doesn't cover this signature: " + t.error,
                "the claim signature");
      } else {
        warning("timeStamp.untrusted", t.error);
      }
    }
    checkTrust(*cose, leaf.get(), at);
  }

  void checkTrust(const CoseSign1::Parsed& cose, X509* leaf, time_t at) {
    StorePtr store(X509_STORE_new());
    CertStackPtr untrusted(sk_X509_new_null());
    int anchors = 0;
    for (const std::string& pem : anchors_) {
      BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
      while (bio) {
        X509Ptr c(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        if (!c) break;
        if (X509_STORE_add_cert(store.get(), c.get()) == 1) ++anchors;
      }
    }
    ERR_clear_error();
    for (size_t i = 1; i < cose.chain.size(); ++i) {
      X509Ptr c = parseDer(cose.chain[i]);
      // The stack owns a certificate from the moment it holds it.
      if (c && sk_X509_push(untrusted.get(), c.get()) > 0) (void)c.release();
    }
    StoreCtxPtr ctx(X509_STORE_CTX_new());
    if (anchors > 0 && ctx &&
        X509_STORE_CTX_init(ctx.get(), store.get(), leaf, untrusted.get()) == 1) {
      X509_STORE_CTX_set_time(ctx.get(), 0, at);
      r_.trusted = X509_verify_cert(ctx.get()) == 1;
      if (!r_.trusted) {
        warning("signingCredential.untrusted",
                X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get())));
      }
    } else {
      warning("signingCredential.untrusted", "no trust anchor is configured");
    }
    ERR_clear_error();
  }

  std::string_view png_;
  const std::vector<std::string>& anchors_;
  C2paReader::Report r_;
  PngChunks::Chunk chunk_;
  std::string_view store_;
  JumbfBox storeBox_;
  const JumbfBox* manifest_ = nullptr;
};

}  // namespace

C2paReader::Report C2paReader::read(std::string_view png,
                                    const std::vector<std::string>& trustAnchorsPem) {
  return Check(png, trustAnchorsPem).run();
}

}  // namespace quillbox
