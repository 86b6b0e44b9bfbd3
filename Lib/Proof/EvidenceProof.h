// EvidenceProof: a proof of an evidence file that anyone can check without us.
//
// Beside the container's other data, in Library/Proofs/<userName>/, a file
// "NAME" of the Documents folder gets:
//   NAME.proof.json  the sidecar: "file", "path" (relative to Documents),
//                    "size", "sha256", "sha1", "created" (the file's creation
//                    date, ISO 8601 UTC with milliseconds), "program",
//                    "version", "kind", for captures "width" and "height" of
//                    the screen and, where the capture says how it read the
//                    screen, "screen": {"source": "x11" | "wayland" | "portal"
//                    | "file" | "synthetic", "outputs": [{"name", "x", "y",
//                    "width", "height" (logical), "scale", "transform"}]}, and
//                    "signer" (the SHA-256 fingerprint of the signing key's
//                    SubjectPublicKeyInfo);
//   NAME.proof.sig   the raw 64-byte Ed25519 signature (SignerKey) over the
//                    exact bytes of NAME.proof.json;
//   NAME.proof.tsr   the RFC 3161 TimeStampResp over the evidence file's
//                    SHA-256, when an authority is configured (TimeStampClient);
//   signer.pem       the signing key's public half. When the key changes, the
//                    earlier public key is kept as "signer.<16 hex>.pem" (the
//                    start of its fingerprint), so older proofs still verify.
// An exported proof (exportTo) lies beside its evidence file and is found there.
//
// Thread safety: every operation may be called from any thread. Files are
// written whole and atomically; nothing is cached but the signing key.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Media/Screen.h"
#include "Proof/SignerKey.h"
#include "Proof/TimeStampClient.h"

namespace quillbox {

struct ScreenSize {
  int width = 0;
  int height = 0;
  platform::ScreenSource source;  // how the screen was read; no "screen" member when unnamed
};

// The files of one proof.
struct ProofFiles {
  std::string folder;  // holds signer.pem
  std::string json;
  std::string sig;
  std::string tsr;
};

class EvidenceProof {
 public:
  static constexpr const char* kProofsFolder = "Proofs";
  static constexpr const char* kSignerFile = "signer.pem";
  static constexpr const char* kJsonSuffix = ".proof.json";
  static constexpr const char* kSigSuffix = ".proof.sig";
  static constexpr const char* kTsrSuffix = ".proof.tsr";

  // Library/Proofs/<current user>; nullopt without a located container or a usable user.
  static std::optional<std::string> proofFolder();
  // The proof file names of evidence `fileName` in `folder`.
  static ProofFiles filesIn(const std::string& folder, const std::string& fileName);
  // The proof files of a sidecar path ("<folder>/NAME.proof.json").
  static ProofFiles filesOfSidecar(const std::string& jsonPath);
  // The proof of the evidence file at `path`: beside it when NAME.proof.json is
  // there (an exported proof), else in proofFolder(); nullopt when neither has one.
  static std::optional<ProofFiles> find(const std::string& path);

  // The sidecar of the file at `path` and its signature, as make() writes them
  // (hashing the file and signing; nothing is written). nullopt, with a log
  // line, when the file can't be read or there is no signing key.
  struct Signed {
    std::string sidecar;
    std::string signature;
    std::string sha256;  // lower-case hex
    std::shared_ptr<const SignerKey> signer;
  };
  static std::optional<Signed> sign(const std::string& path, int32_t kind,
                                    std::optional<ScreenSize> screen = std::nullopt);

  // Makes the proof of the file at `path` (below the container's Documents)
  // in proofFolder(): hashes the file (SHA-256 and SHA-1 in one pass), writes
  // the sidecar, its signature and signer.pem. `screen` gives the width and
  // height of a capture; for a PNG screenshot without it they are read from the
  // PNG header. A proof that already exists for the file as it is now (same
  // SHA-256, valid signature) is kept as it is, with its time stamp. A stale
  // time stamp of an earlier file of the same name is removed. nullopt, with a
  // log line, when nothing could be made.
  static std::optional<ProofFiles> make(const std::string& path, int32_t kind,
                                        std::optional<ScreenSize> screen = std::nullopt);

  // What a capture calls once the file's property record exists: make(), then,
  // when QUILLBOX_TSA_URL is set, the time stamp on ProofStamper's thread with
  // retries. Never waits for the network. True when the proof was written.
  static bool proveNewEvidence(const std::string& path, int32_t kind,
                               std::optional<ScreenSize> screen = std::nullopt);

  // Asks QUILLBOX_TSA_URL for the time stamp of the proof whose sidecar is
  // `jsonPath` and stores it as its .proof.tsr. Blocks for the round trip.
  // Granted at once when the proof already has a time stamp; Unusable without
  // a URL or a readable sidecar.
  static TimeStampClient::Result stamp(const std::string& jsonPath);

  // One check of verify(): "sha256", "signature" or "timestamp" (or "proof"
  // when there is none); outcome "pass", "fail" or "absent" (no time stamp).
  struct Check {
    std::string name;
    std::string outcome;
    std::string detail;  // why it failed
  };
  struct Verification {
    std::optional<ProofFiles> files;
    std::vector<Check> checks;
    std::string stampTime;  // the authority's time, when a time stamp verified
    std::string signer;     // fingerprint of the key the signature was checked with
    bool ok = false;        // every check made passed
  };
  // Checks the file at `path` against its proof: its SHA-256 against the
  // sidecar's, the sidecar's signature (by the key in the proof's folder that
  // the sidecar names), and the time stamp over the sidecar's SHA-256 when
  // there is one (with `requireTimestamp`, a missing one fails).
  static Verification verify(const std::string& path, bool requireTimestamp);

  // Copies into `dir` (made when missing) the evidence file, its sidecar,
  // signature, time stamp, signer.pem, the authority's roots as tsa-root.pem
  // when QUILLBOX_TSA_CA_FILE is set, the root of its content credentials as
  // c2pa-root.pem when the file carries them, and VERIFY.txt with the openssl
  // commands that check them. Refuses (false, `error`) a proof that doesn't
  // verify. `written` gets the names of the files written.
  static bool exportTo(const std::string& path, const std::string& dir,
                       std::vector<std::string>* written, std::string* error);
};

}  // namespace quillbox
