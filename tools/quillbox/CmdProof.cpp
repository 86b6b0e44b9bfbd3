// quillbox proof make|verify|export: proofs of evidence files that anyone can check.
//
//   make PATH [--kind N]     the proof of a file below the container's Documents
//                            (sidecar, Ed25519 signature, signer.pem) and, when
//                            QUILLBOX_TSA_URL is set, its RFC 3161 time stamp.
//                            One JSON line; exit 0, 1 when no proof was made, 3
//                            when the authority gave no time stamp (the proof is
//                            kept; make asks again for the stamp it lacks).
//   verify PATH [--require-timestamp]
//                            one JSON line naming each check ("sha256",
//                            "signature", "timestamp") and its outcome, the
//                            signing key's fingerprint (compare it with the one
//                            you trust) and the authority's time; exit 0 only
//                            when every check made passes.
//                            A PNG's embedded content credentials (C2PA) are
//                            read too ("c2pa": valid, signer, time, what
//                            changed); a manifest that doesn't hold fails.
//   export PATH DIR          the file and its proof with VERIFY.txt (openssl
//                            commands) and the content credentials' root
//                            (c2pa-root.pem) in DIR; refuses a proof that
//                            doesn't verify.
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "AppURL.h"
#include "Base/File.h"
#include "C2pa/C2paReader.h"
#include "C2pa/ContentCredentials.h"
#include "Commands.h"
#include "InsideDocuments.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Process/Environment.h"
#include "Proof/EvidenceProof.h"

namespace quillbox::tool {
namespace {

using nlohmann::ordered_json;

std::string dump(const ordered_json& j) {
  return j.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

int make(const std::string& given, int kind) {
  if (!locateQuillboxApp()) {
    std::cerr << "quillbox proof make: no client container (quillbox.app) under \""
              << platform::Environment::appsRoot() << "\" (set QUILLBOX_APPS_ROOT)\n";
    return 2;
  }
  auto path = insideDocuments(given);
  if (!path) {
    std::cerr << "quillbox proof make: \"" << given << "\" is not a file under "
              << getAppDocFilePath("") << "\n";
    return 2;
  }
  auto files = EvidenceProof::make(*path, kind);
  if (!files) {
    std::cerr << "quillbox proof make: no proof made for \"" << *path
              << "\" (no current user, unreadable file or no signing key; see the log)\n";
    return 1;
  }
  ordered_json j;
  j["file"] = *path;
  j["proof"] = files->json;
  int status = 0;
  if (platform::Environment::tsaUrl().empty()) {
    j["timestamp"] = "none";
  } else {
    TimeStampClient::Result r = EvidenceProof::stamp(files->json);
    if (r.outcome == TimeStampClient::Outcome::Granted) {
      j["timestamp"] = files->tsr;
      if (!r.genTime.empty()) j["stampTime"] = r.genTime;
    } else {
      j["timestamp"] = "pending";
      j["stampError"] = r.error;
      status = 3;
    }
  }
  std::cout << dump(j) << std::endl;
  return status;
}

// What the file's content credentials say; sets `ok` false when they don't hold.
ordered_json contentCredentials(const std::string& path, bool* ok) {
  ordered_json j;
  auto bytes = platform::FileSystem::Default().readFile(path);
  C2paReader::Report r =
      C2paReader::read(bytes.value_or(""), ContentCredentials::trustAnchorsFor(path));
  if (!r.present) {
    j["manifest"] = "absent";
    return j;
  }
  j["manifest"] = r.manifest.empty() ? ordered_json(nullptr) : ordered_json(r.manifest);
  j["valid"] = r.valid();
  j["trusted"] = r.trusted;
  if (!r.error.empty()) j["error"] = r.error;
  auto put = [&](const char* key, const std::string& value) {
    if (!value.empty()) j[key] = value;
  };
  put("signer", r.signer);
  put("issuer", r.issuer);
  put("claimGenerator", r.claimGenerator);
  put("title", r.title);
  put("action", r.action);
  put("digitalSourceType", r.digitalSourceType);
  put("softwareAgent", r.softwareAgent);
  put("time", r.stampTime.empty() ? r.when : r.stampTime);
  if (!r.stampTime.empty() || !r.when.empty())
    j["timeSource"] = r.stampTime.empty() ? "claimed by the signer" : "RFC 3161 time stamp";
  j["changed"] = r.changed;
  if (!r.failures.empty()) j["failures"] = r.failures;
  if (!r.warnings.empty()) j["warnings"] = r.warnings;
  if (!r.details.empty()) j["details"] = r.details;
  if (!r.valid()) {
    *ok = false;
    std::cerr << "quillbox proof verify: the content credentials don't hold: "
              << (r.error.empty() ? (r.details.empty() ? "" : r.details.front()) : r.error) << "\n";
  }
  return j;
}

int verify(const std::string& path, bool requireTimestamp) {
  EvidenceProof::Verification v = EvidenceProof::verify(path, requireTimestamp);
  ordered_json j;
  j["file"] = path;
  if (v.files) j["proof"] = v.files->json;
  ordered_json checks = ordered_json::object(), failed = ordered_json::array(),
               reasons = ordered_json::object();
  for (const auto& c : v.checks) {
    checks[c.name] = c.outcome;
    if (c.outcome != "fail") continue;
    failed.push_back(c.name);
    reasons[c.name] = c.detail;
    std::cerr << "quillbox proof verify: the " << c.name << " check failed: " << c.detail << "\n";
  }
  j["checks"] = checks;
  if (!v.signer.empty()) j["signer"] = v.signer;
  if (!v.stampTime.empty()) j["stampTime"] = v.stampTime;
  if (!failed.empty()) {
    j["failed"] = failed;
    j["reasons"] = reasons;
  }
  bool ok = v.ok;
  j["c2pa"] = contentCredentials(path, &ok);
  j["ok"] = ok;
  std::cout << dump(j) << std::endl;
  return ok ? 0 : 1;
}

int exportProof(const std::string& path, const std::string& dir) {
  std::vector<std::string> written;
  std::string error;
  if (!EvidenceProof::exportTo(path, dir, &written, &error)) {
    std::cerr << "quillbox proof export: " << error << "\n";
    return 1;
  }
  ordered_json j;
  j["dir"] = dir;
  j["files"] = written;
  std::cout << dump(j) << std::endl;
  return 0;
}

struct ProofArgs {
  std::string path;
  std::string dir;
  int kind = FileKind::Screenshot;
  bool requireTimestamp = false;
};

Command::Registration proofCmd(36, [](CLI::App& app) {
  auto args = std::make_shared<ProofArgs>();
  auto* proof = app.add_subcommand(
      "proof", "proofs of evidence files: SHA-256 sidecar, Ed25519 signature, RFC 3161 time stamp");
  proof->require_subcommand(1);

  auto* make = proof->add_subcommand("make", "make the proof of a file below Documents");
  make->add_option("PATH", args->path, "the evidence file")->required();
  make->add_option("--kind", args->kind, "kind code (8 = phone screenshot)")->capture_default_str();
  make->callback([args] { Command::setExitStatus(quillbox::tool::make(args->path, args->kind)); });

  auto* verify = proof->add_subcommand("verify", "check a file against its proof");
  verify->add_option("PATH", args->path, "the evidence file")->required();
  verify->add_flag("--require-timestamp", args->requireTimestamp, "fail without a time stamp");
  verify->callback([args] {
    Command::setExitStatus(quillbox::tool::verify(args->path, args->requireTimestamp));
  });

  auto* exp = proof->add_subcommand(
      "export", "copy a file, its proof and VERIFY.txt (openssl commands) into a folder");
  exp->add_option("PATH", args->path, "the evidence file")->required();
  exp->add_option("DIR", args->dir, "the folder to fill (made when missing)")->required();
  exp->callback([args] { Command::setExitStatus(exportProof(args->path, args->dir)); });
});

}  // namespace
}  // namespace quillbox::tool
