// C2paReader: what the content credentials embedded in a PNG say, and whether
// they still hold.
//
// read() finds the manifest store in the file's caBX chunk, takes its active
// (last) manifest and checks it the way a C2PA validator does: the claim's
// COSE signature with the certificate it carries, every hashed reference of
// the claim to its assertions, the hard binding (c2pa.hash.data) over the
// file's bytes, the time stamp over the signature (against QUILLBOX_TSA_CA_FILE
// or the system's roots) and the signer's chain against the trust anchors
// given. Results use the C2PA status codes ("claimSignature.mismatch",
// "assertion.dataHash.mismatch", "assertion.hashedURI.mismatch",
// "signingCredential.untrusted", ...). Input is untrusted: anything malformed
// gives a report with `error`, never a crash.
//
// Stateless; every operation may be called from any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillbox {

class C2paReader {
 public:
  struct Report {
    bool present = false;  // the file carries a manifest store
    std::string error;     // why it can't be read as one ("" when it can)
    std::string manifest;  // the active manifest's label
    std::string title;
    std::string claimGenerator;  // "name version"
    std::string action;          // the first action, its source type, time and agent
    std::string digitalSourceType;
    std::string when;
    std::string softwareAgent;
    std::string signer;  // subject of the signing certificate
    std::string issuer;
    std::string stampTime;              // the authority's time, when a time stamp verified
    bool trusted = false;               // the signer chains to a trust anchor
    std::vector<std::string> failures;  // status codes that make the manifest invalid
    std::vector<std::string> warnings;  // status codes that don't (untrusted signer or stamp)
    std::vector<std::string> changed;   // what changed since signing, in words
    std::vector<std::string> details;   // one line per failure or warning

    // Readable, and every integrity check passed (trust aside).
    bool valid() const { return present && error.empty() && failures.empty(); }
  };

  static Report read(std::string_view png, const std::vector<std::string>& trustAnchorsPem);
};

}  // namespace quillbox
