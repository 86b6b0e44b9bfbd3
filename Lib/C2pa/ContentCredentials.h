// ContentCredentials: the content credentials every capture carries inside its PNG.
//
// addToCapture() is the capture road's one step: it gives the PNG with a
// C2PA manifest store (C2paManifest) signed by the install's identity
// (C2paSigner). When QUILLBOX_TSA_URL is set, the authority is asked for a
// time stamp over the signature and waited for at most kTimeStampSeconds;
// without an answer by then the manifest goes without one (the evidence
// proof's own time stamp still comes later). QUILLBOX_C2PA=0 turns it off.
// Whatever fails, the capture goes on with the PNG as it was, and a log line.
//
// Thread safety: every operation may be called from any thread.
#pragma once

#include <string>
#include <vector>

namespace quillbox {

class ContentCredentials {
 public:
  static constexpr int kTimeStampSeconds = 1;
  static constexpr const char* kExportedRoot = "c2pa-root.pem";

  // False when QUILLBOX_C2PA is "0" (or "off", "false", "no").
  static bool enabled();
  // `png` with its content credentials, or `png` itself (see above).
  // `fileName` becomes the manifest's title.
  static std::string addToCapture(const std::string& png, const std::string& fileName);

  // The trust anchors (PEM) a check of the file at `path` uses: the install's
  // root, and an exported root lying beside the file.
  static std::vector<std::string> trustAnchorsFor(const std::string& path);
};

}  // namespace quillbox
