// C2paManifest: the content credentials (C2PA manifest store) of one capture,
// embedded in its PNG.
//
// The store ("c2pa") holds one standard manifest ("urn:c2pa:<uuid>") with an
// assertion store of two assertions, a claim and its signature:
//   c2pa.actions.v2  one c2pa.created action: the IPTC digital source type
//                    screenCapture, the capture time ("when") and the software
//                    agent;
//   c2pa.hash.data   SHA-256 over the whole file except the caBX chunk that
//                    carries the store (its length, type, data and CRC);
//   c2pa.claim.v2    the claim generator, the title, hashed references to both
//                    assertions and to the signature;
//   c2pa.signature   COSE_Sign1 over the claim by C2paSigner, with the
//                    signer's chain and, when the stamper gives one, an RFC
//                    3161 time stamp over the signature ("sigTst2").
// All CBOR is in the core deterministic encoding. The caBX chunk goes right
// after IHDR, so it precedes the image data; every other byte of the PNG is
// kept as it was, and removing the chunk gives the original file back.
//
// Stateless; every operation may be called from any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quillbox {

class C2paSigner;

class C2paManifest {
 public:
  // JUMBF types (UUIDs, 16 bytes) and labels.
  static constexpr std::string_view kStoreUuid{
      "c2pa\x00\x11\x00\x10\x80\x00\x00\xaa\x00\x38\x9b\x71", 16};
  static constexpr std::string_view kManifestUuid{
      "c2ma\x00\x11\x00\x10\x80\x00\x00\xaa\x00\x38\x9b\x71", 16};
  static constexpr std::string_view kAssertionStoreUuid{
      "c2as\x00\x11\x00\x10\x80\x00\x00\xaa\x00\x38\x9b\x71", 16};
  static constexpr std::string_view kClaimUuid{
      "c2cl\x00\x11\x00\x10\x80\x00\x00\xaa\x00\x38\x9b\x71", 16};
  static constexpr std::string_view kSignatureUuid{
      "c2cs\x00\x11\x00\x10\x80\x00\x00\xaa\x00\x38\x9b\x71", 16};
  static constexpr std::string_view kCborUuid{
      "cbor\x00\x11\x00\x10\x80\x00\x00\xaa\x00\x38\x9b\x71", 16};
  static constexpr const char* kStoreLabel = "c2pa";
  static constexpr const char* kAssertionsLabel = "c2pa.assertions";
  static constexpr const char* kActionsLabel = "c2pa.actions.v2";
  static constexpr const char* kDataHashLabel = "c2pa.hash.data";
  static constexpr const char* kClaimLabel = "c2pa.claim.v2";
  static constexpr const char* kSignatureLabel = "c2pa.signature";
  static constexpr const char* kChunkType = "caBX";
  static constexpr const char* kScreenCapture =
      "http://cv.iptc.org/newscodes/digitalsourcetype/screenCapture";
  // Room kept in the signature box for a time stamp token when one is asked for.
  static constexpr size_t kTimeStampReserve = 6144;

  struct Capture {
    std::string title;          // the file name
    std::string when;           // capture time, RFC 3339 UTC
    std::string generatorName;  // the claim generator
    std::string generatorVersion;
    std::string agentName;  // the software agent of the action
    std::string agentVersion;
  };
  // Gives the DER TimeStampToken over a 32-byte SHA-256 imprint, or "".
  using Stamper = std::function<std::string(std::string_view imprint)>;

  struct Made {
    std::string png;
    size_t storeSize = 0;  // bytes of the manifest store
    bool timeStamped = false;
  };
  // `png` with its capture's manifest store; nullopt with `error` when `png`
  // is not a PNG, already carries a caBX chunk, or signing fails. `stamper`
  // may be empty (no time stamp); `reserve` is the room kept for its token.
  static std::optional<Made> embed(std::string_view png, const Capture& capture,
                                   const C2paSigner& signer, const Stamper& stamper, size_t reserve,
                                   std::string* error);
};

}  // namespace quillbox
