#include "C2pa/C2paManifest.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>

#include "C2pa/C2paSigner.h"
#include "C2pa/CborValue.h"
#include "C2pa/CoseSign1.h"
#include "C2pa/JumbfBox.h"
#include "C2pa/PngChunks.h"

namespace quillbox {
namespace {

using Entries = std::vector<std::pair<CborValue, CborValue>>;
constexpr uint64_t kDateTimeTag = 0;  // RFC 8949, 3.4.1
constexpr int kSizeRounds = 4;

CborValue text(const std::string& s) {
  return CborValue::text(s);
}

std::string sha256(std::string_view data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr) != 1) return "";
  return {reinterpret_cast<char*>(md), len};
}

// A random (version 4) UUID in its string form; "" when no randomness is available.
std::string uuid4() {
  unsigned char b[16];
  if (RAND_bytes(b, sizeof b) != 1) return "";
  b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
  char s[37];
  std::snprintf(s, sizeof s, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12],
                b[13], b[14], b[15]);
  return s;
}

std::string assertionBox(const char* label, const CborValue& data) {
  return JumbfBox::superbox(C2paManifest::kCborUuid, label,
                            {JumbfBox::contentBox("cbor", data.encode())});
}

CborValue generatorInfo(const std::string& name, const std::string& version) {
  Entries e{{text("name"), text(name)}};
  if (!version.empty()) e.emplace_back(text("version"), text(version));
  return CborValue::map(std::move(e));
}

// Everything of the store that doesn't depend on the signature.
struct Layout {
  size_t chunkAt = 0;  // where the caBX chunk goes
  std::string urn;
  std::string instanceId;
  std::string actionsBox;
  std::string contentHash;
  const C2paManifest::Capture* capture = nullptr;

  std::string uri(const std::string& path) const { return "self#jumbf=/c2pa/" + urn + "/" + path; }

  // The assertion store and the claim, for a caBX chunk of `chunkSize` bytes.
  std::pair<std::string, std::string> claimed(size_t chunkSize) const {
    CborValue range = CborValue::map({{text("start"), CborValue::unsignedInteger(chunkAt)},
                                      {text("length"), CborValue::unsignedInteger(chunkSize)}});
    CborValue dataHash = CborValue::map({{text("alg"), text("sha256")},
                                         {text("exclusions"), CborValue::array({range})},
                                         {text("hash"), CborValue::bytes(contentHash)},
                                         {text("name"), text("jumbf manifest")},
                                         {text("pad"), CborValue::bytes("")}});
    const std::string hashBox = assertionBox(C2paManifest::kDataHashLabel, dataHash);
    std::string assertions = JumbfBox::superbox(
        C2paManifest::kAssertionStoreUuid, C2paManifest::kAssertionsLabel, {actionsBox, hashBox});
    auto hashedUri = [&](const char* label, const std::string& box) {
      return CborValue::map(
          {{text("url"), text(uri(std::string(C2paManifest::kAssertionsLabel) + "/" + label))},
           {text("hash"), CborValue::bytes(sha256(std::string_view(box).substr(8)))}});
    };
    Entries claim{{text("instanceID"), text(instanceId)},
                  {text("claim_generator_info"),
                   generatorInfo(capture->generatorName, capture->generatorVersion)},
                  {text("signature"), text(uri(C2paManifest::kSignatureLabel))},
                  {text("created_assertions"),
                   CborValue::array({hashedUri(C2paManifest::kActionsLabel, actionsBox),
                                     hashedUri(C2paManifest::kDataHashLabel, hashBox)})},
                  {text("alg"), text("sha256")}};
    if (!capture->title.empty()) claim.emplace_back(text("dc:title"), text(capture->title));
    return {std::move(assertions), CborValue::map(std::move(claim)).encode()};
  }

  std::string store(const std::string& assertions, const std::string& claim,
                    const std::string& cose) const {
    std::string manifest = JumbfBox::superbox(
        C2paManifest::kManifestUuid, urn,
        {assertions,
         JumbfBox::superbox(C2paManifest::kClaimUuid, C2paManifest::kClaimLabel,
                            {JumbfBox::contentBox("cbor", claim)}),
         JumbfBox::superbox(C2paManifest::kSignatureUuid, C2paManifest::kSignatureLabel,
                            {JumbfBox::contentBox("cbor", cose)})});
    return JumbfBox::superbox(C2paManifest::kStoreUuid, C2paManifest::kStoreLabel, {manifest});
  }
};

}  // namespace

std::optional<C2paManifest::Made> C2paManifest::embed(std::string_view png, const Capture& capture,
                                                      const C2paSigner& signer,
                                                      const Stamper& stamper, size_t reserve,
                                                      std::string* error) {
  auto chunks = PngChunks::list(png);
  if (!chunks) {
    *error = "not a PNG file";
    return std::nullopt;
  }
  for (const auto& c : *chunks) {
    if (c.type == kChunkType) {
      *error = "the PNG already carries content credentials";
      return std::nullopt;
    }
  }
  Layout l;
  l.chunkAt = chunks->front().offset + chunks->front().size();  // right after IHDR
  l.capture = &capture;
  const std::string id = uuid4(), instance = uuid4();
  // Removing the chunk gives the original bytes back: their hash is the binding.
  l.contentHash = sha256(png);
  if (id.empty() || instance.empty() || l.contentHash.empty()) {
    *error = "no randomness or digest available";
    return std::nullopt;
  }
  l.urn = "urn:c2pa:" + id;
  l.instanceId = "xmp:iid:" + instance;
  Entries action{{text("action"), text("c2pa.created")},
                 {text("digitalSourceType"), text(kScreenCapture)},
                 {text("softwareAgent"), generatorInfo(capture.agentName, capture.agentVersion)}};
  if (!capture.when.empty())
    action.emplace_back(text("when"), CborValue::tag(kDateTimeTag, text(capture.when)));
  l.actionsBox = assertionBox(
      kActionsLabel,
      CborValue::map({{text("actions"), CborValue::array({CborValue::map(std::move(action))})}}));

  const std::string prot = CoseSign1::protectedHeader(signer.algorithm(), signer.chain());
  const std::string placeholderSig(signer.signatureSize(), '\0');
  const size_t bare = CoseSign1::encode(prot, CborValue::map({}), placeholderSig).size();

  // One try with room for a time stamp, one without when the stamp doesn't come or fit.
  for (bool withStamp : {static_cast<bool>(stamper), false}) {
    const size_t coseSize = bare + (withStamp ? reserve : 0);
    auto placeholder = CoseSign1::unprotectedHeader(prot, placeholderSig, "", coseSize);
    if (!placeholder) continue;
    const std::string sized = CoseSign1::encode(prot, *placeholder, placeholderSig);
    // The chunk's size is written inside the store: settle it first (the
    // number's width may change it once).
    size_t chunkSize = 0;
    std::pair<std::string, std::string> parts;
    for (int round = 0; round < kSizeRounds; ++round) {
      parts = l.claimed(chunkSize);
      const size_t size = 12 + l.store(parts.first, parts.second, sized).size();
      if (size == chunkSize) break;
      chunkSize = size;
    }
    auto signature = signer.sign(CoseSign1::toBeSigned("Signature1", prot, parts.second));
    if (!signature) {
      *error = "the claim can't be signed";
      return std::nullopt;
    }
    std::string token;
    if (withStamp) {
      token = stamper(CoseSign1::timeStampImprint(prot, *signature));
      if (token.empty()) continue;
    }
    auto unprotected = CoseSign1::unprotectedHeader(prot, *signature, token, coseSize);
    if (!unprotected) continue;  // a token larger than the room kept for it
    const std::string store =
        l.store(parts.first, parts.second, CoseSign1::encode(prot, *unprotected, *signature));
    if (12 + store.size() != chunkSize) {
      *error = "the manifest's size didn't settle";
      return std::nullopt;
    }
    Made made;
    made.png.reserve(png.size() + chunkSize);
    made.png.append(png.substr(0, l.chunkAt));
    made.png.append(PngChunks::chunk(kChunkType, store));
    made.png.append(png.substr(l.chunkAt));
    made.storeSize = store.size();
    made.timeStamped = !token.empty();
    return made;
  }
  *error = "the claim signature can't be laid out";
  return std::nullopt;
}

}  // namespace quillbox
