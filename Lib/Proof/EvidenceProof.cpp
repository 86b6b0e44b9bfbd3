#include "Proof/EvidenceProof.h"

#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "AppURL.h"
#include "Base/File.h"
#include "C2pa/C2paReader.h"
#include "C2pa/C2paSigner.h"
#include "C2pa/ContentCredentials.h"
#include "FileProperty/FileProperty.h"
#include "Platform/Files/FileLock.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "Platform/Process/TimeFormat.h"
#include "Proof/ProofStamper.h"
#include "Proof/SignerKey.h"
#include "SHA1Help/FileDigest.h"
#include "SharedSettings.h"

namespace quillbox {

using nlohmann::ordered_json;
using platform::FileSystem;
using platform::Log;

namespace {

// Lines of this module.
const char kLogNoFolder[] = "日志:没有客户端容器或当前用户, 证明未生成: %s";
const char kLogUnreadable[] = "日志:文件无法读取, 证明未生成: %s";
const char kLogNoKey[] = "日志:没有签名密钥, 证明未生成: %s";
const char kLogWriteFailed[] = "日志:证明写入失败: %s";
const char kLogMade[] = "日志:证明已保存 %s";
const char kLogKept[] = "日志:证明已存在, 保留 %s";
const char kLogSignerAside[] = "日志:签名公钥已更换, 旧公钥保存为 %s";

constexpr size_t kReadChunk = 1 << 20;
constexpr size_t kFingerprintPrefix = 16;
// The system's trust store on this platform, for the time-stamp command of VERIFY.txt.
const char kSystemRoots[] = "/etc/ssl/certs/ca-certificates.crt";

struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

struct Digests {
  std::string sha256;  // lower-case hex
  std::string sha1;
  int64_t size = 0;
  std::string head;  // the first bytes (the PNG header)
};

std::string finalHex(EVP_MD_CTX* ctx) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx, md, &len) != 1) return "";
  return FileDigest::hex(md, len);
}

// SHA-256 and, when asked, SHA-1 of the file, in one pass of large reads.
std::optional<Digests> hashFile(const std::string& path, bool withSha1) {
  auto file = FileSystem::Default().openSequential(path);
  MdCtxPtr sha256(EVP_MD_CTX_new()), sha1(EVP_MD_CTX_new());
  if (!file || !sha256 || !sha1 || EVP_DigestInit_ex(sha256.get(), EVP_sha256(), nullptr) != 1 ||
      EVP_DigestInit_ex(sha1.get(), EVP_sha1(), nullptr) != 1) {
    return std::nullopt;
  }
  Digests d;
  std::vector<char> buf(kReadChunk);
  for (;;) {
    int64_t n = file->read(buf.data(), buf.size());
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    if (d.head.size() < 24) d.head.append(buf.data(), std::min<size_t>(n, 24 - d.head.size()));
    EVP_DigestUpdate(sha256.get(), buf.data(), static_cast<size_t>(n));
    if (withSha1) EVP_DigestUpdate(sha1.get(), buf.data(), static_cast<size_t>(n));
    d.size += n;
  }
  d.sha256 = finalHex(sha256.get());
  if (withSha1) d.sha1 = finalHex(sha1.get());
  if (d.sha256.empty() || (withSha1 && d.sha1.empty())) return std::nullopt;
  return d;
}

// Width and height from a PNG's IHDR chunk.
std::optional<ScreenSize> pngSize(const std::string& head) {
  static const char kSignature[] = "\x89PNG\r\n\x1a\n";
  if (head.size() < 24 || head.compare(0, 8, kSignature, 8) != 0 || head.compare(12, 4, "IHDR"))
    return std::nullopt;
  auto be32 = [&](size_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(head.data() + at);
    return static_cast<int>(
        (uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3])) &
        0x7fffffffu);
  };
  return ScreenSize{be32(16), be32(20), {}};
}

std::string isoMillis(std::chrono::system_clock::time_point t) {
  return platform::TimeFormat::format(t, "%Y-%m-%dT%H:%M:%S.%LZ", platform::TimeFormat::Zone::Utc);
}

std::optional<std::string> hexBytes(const std::string& hex) {
  if (hex.size() % 2) return std::nullopt;
  std::string out;
  for (size_t i = 0; i < hex.size(); i += 2) {
    auto digit = [](char c) {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      return -1;
    };
    int hi = digit(hex[i]), lo = digit(hex[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi << 4 | lo));
  }
  return out;
}

// The sidecar's JSON object; nullopt when the text isn't one.
std::optional<ordered_json> parseSidecar(const std::string& text) {
  ordered_json j = ordered_json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  return j;
}

std::string member(const std::optional<ordered_json>& j, const char* key) {
  if (!j) return "";
  auto it = j->find(key);
  return it != j->end() && it->is_string() ? it->get<std::string>() : "";
}

std::string asidePem(const std::string& folder, const std::string& fingerprint) {
  return folder + "/signer." + fingerprint.substr(0, kFingerprintPrefix) + ".pem";
}

// The public key PEM of `folder` whose fingerprint is `fingerprint` (any
// signer.pem when the sidecar names none).
std::optional<std::string> signerPemFor(const std::string& folder, const std::string& fingerprint) {
  FileSystem& fs = FileSystem::Default();
  auto current = fs.readFile(folder + "/" + EvidenceProof::kSignerFile);
  if (current && (fingerprint.empty() || SignerKey::fingerprintOf(*current) == fingerprint))
    return current;
  if (fingerprint.size() < kFingerprintPrefix) return std::nullopt;
  auto aside = fs.readFile(asidePem(folder, fingerprint));
  if (aside && SignerKey::fingerprintOf(*aside) == fingerprint) return aside;
  return std::nullopt;
}

// signer.pem holds `signer`'s public key; an earlier, different key is kept aside.
bool ensureSignerPem(const std::string& folder, const SignerKey& signer) {
  FileSystem& fs = FileSystem::Default();
  const std::string path = folder + "/" + EvidenceProof::kSignerFile;
  platform::StoreLock lock(folder);  // its side file lies beside the folder, not in it
  auto current = fs.readFile(path);
  if (current && *current == signer.publicPem()) return true;
  if (current) {
    if (auto fp = SignerKey::fingerprintOf(*current)) {
      std::string aside = asidePem(folder, *fp);
      if (!fs.exists(aside) && !fs.writeAtomically(aside, *current)) return false;
      Log::printf(kLogSignerAside, aside.c_str());
    }
  }
  return static_cast<bool>(fs.writeAtomically(path, signer.publicPem()));
}

std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// The third step of VERIFY.txt: the credentials inside the file.
std::string c2paText(bool haveRoot) {
  std::string t = "\n3. The content credentials (C2PA) inside the PNG: any C2PA reader shows them";
  if (!haveRoot) return t + ".\n";
  return t + "; add\n   " + ContentCredentials::kExportedRoot +
         " as a trust anchor of the reader to see the signer as trusted.\n";
}

bool carriesC2pa(const std::string& path) {
  auto bytes = FileSystem::Default().readFile(path);
  return bytes && C2paReader::read(*bytes, {}).present;
}

std::string verifyText(const std::string& name, const std::string& sha256,
                       const std::string& signer, bool haveStamp, bool haveRoots,
                       const std::string& stampTime) {
  const std::string q = shellQuote(name);
  std::string t = "Evidence file: " + name + "\nSHA-256: " + sha256 +
                  "\nSigning key (SHA-256 of its public key): " + signer + "\n\n";
  t += "These commands check the proof with OpenSSL alone, in this folder.\n\n";
  t += "1. The Ed25519 signature over the proof, and the file against the proof's \"sha256\":\n";
  t += "   openssl pkeyutl -verify -pubin -inkey signer.pem -rawin -in " +
       shellQuote(name + EvidenceProof::kJsonSuffix) + " -sigfile " +
       shellQuote(name + EvidenceProof::kSigSuffix) + "\n";
  t += "   openssl dgst -sha256 " + q + "\n\n";
  if (!haveStamp) return t + "2. No RFC 3161 time stamp was taken of this file.\n";
  t += "2. The RFC 3161 time stamp over the evidence file" +
       (stampTime.empty() ? std::string() : " (" + stampTime + ")") + ":\n";
  t += "   openssl ts -verify -data " + q + " -in " + shellQuote(name + EvidenceProof::kTsrSuffix) +
       " -CAfile " + (haveRoots ? std::string("tsa-root.pem") : std::string(kSystemRoots)) + "\n";
  return t;
}

}  // namespace

std::optional<std::string> EvidenceProof::proofFolder() {
  if (AppURL::sharedAppURL().appURL().empty() && !locateQuillboxApp()) return std::nullopt;
  auto user = SharedSettings::currentUserName();
  if (!user) return std::nullopt;
  return getAppLibFilePath(std::string(kProofsFolder) + "/" + *user);
}

ProofFiles EvidenceProof::filesIn(const std::string& folder, const std::string& fileName) {
  const std::string base = folder + "/" + fileName;
  return {folder, base + kJsonSuffix, base + kSigSuffix, base + kTsrSuffix};
}

ProofFiles EvidenceProof::filesOfSidecar(const std::string& jsonPath) {
  std::string name = platform::lastPathComponent(jsonPath);
  const std::string suffix = kJsonSuffix;
  if (name.size() > suffix.size() &&
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
    name.resize(name.size() - suffix.size());
  }
  return filesIn(platform::deletingLastPathComponent(jsonPath), name);
}

std::optional<ProofFiles> EvidenceProof::find(const std::string& path) {
  FileSystem& fs = FileSystem::Default();
  const std::string name = platform::lastPathComponent(path);
  std::string dir = platform::deletingLastPathComponent(path);
  ProofFiles beside = filesIn(dir.empty() ? "." : dir, name);
  if (fs.exists(beside.json)) return beside;
  if (auto folder = proofFolder()) {
    ProofFiles kept = filesIn(*folder, name);
    if (fs.exists(kept.json)) return kept;
  }
  return std::nullopt;
}

std::optional<EvidenceProof::Signed> EvidenceProof::sign(const std::string& path, int32_t kind,
                                                         std::optional<ScreenSize> screen) {
  auto signer = SignerKey::shared();
  if (!signer) {
    Log::printf(kLogNoKey, path.c_str());
    return std::nullopt;
  }
  auto digests = hashFile(path, true);
  auto attrs = FileSystem::Default().attributes(path);
  if (!digests || !attrs) {
    Log::printf(kLogUnreadable, path.c_str());
    return std::nullopt;
  }
  if (kind == FileKind::Screenshot && !screen) screen = pngSize(digests->head);
  std::string relative = FileProperty::documentsRelativeKey(path);
  if (!relative.empty() && relative[0] == '/') relative.erase(0, 1);
  ordered_json j;
  j["file"] = platform::lastPathComponent(path);
  j["path"] = relative;
  j["size"] = digests->size;
  j["sha256"] = digests->sha256;
  j["sha1"] = digests->sha1;
  j["created"] = isoMillis(attrs->creationDate);
  j["program"] = platform::Environment::programName();
  j["version"] = mainBundleVersion();
  j["kind"] = kind;
  if (screen) {
    j["width"] = screen->width;
    j["height"] = screen->height;
    if (!screen->source.method.empty()) {
      ordered_json outputs = ordered_json::array();
      for (const auto& o : screen->source.outputs) {
        ordered_json out;
        out["name"] = o.name;
        out["x"] = o.x;
        out["y"] = o.y;
        out["width"] = o.width;
        out["height"] = o.height;
        out["scale"] = o.scale;
        out["transform"] = o.transform;
        outputs.push_back(std::move(out));
      }
      j["screen"] = {{"source", screen->source.method}, {"outputs", std::move(outputs)}};
    }
  }
  j["signer"] = signer->fingerprint();
  Signed out;
  out.sidecar = j.dump(2, ' ', false, ordered_json::error_handler_t::replace) + "\n";
  auto signature = signer->sign(out.sidecar);
  if (!signature) {
    Log::printf(kLogNoKey, path.c_str());
    return std::nullopt;
  }
  out.signature = std::move(*signature);
  out.sha256 = digests->sha256;
  out.signer = signer;
  return out;
}

std::optional<ProofFiles> EvidenceProof::make(const std::string& path, int32_t kind,
                                              std::optional<ScreenSize> screen) {
  FileSystem& fs = FileSystem::Default();
  auto folder = proofFolder();
  if (!folder || !fs.createDirectories(*folder)) {
    Log::printf(kLogNoFolder, path.c_str());
    return std::nullopt;
  }
  auto made = sign(path, kind, std::move(screen));
  if (!made) return std::nullopt;
  ProofFiles files = filesIn(*folder, platform::lastPathComponent(path));

  // A proof of this very content stays, with its time stamp.
  auto oldText = fs.readFile(files.json);
  auto old = oldText ? parseSidecar(*oldText) : std::nullopt;
  if (member(old, "sha256") == made->sha256) {
    auto pem = signerPemFor(*folder, member(old, "signer"));
    auto sig = fs.readFile(files.sig);
    if (pem && sig && SignerKey::verify(*pem, *oldText, *sig)) {
      Log::printf(kLogKept, files.json.c_str());
      return files;
    }
  }
  // The signer's key is in place before a signature names it, and a time
  // stamp of another content never sits beside the new sidecar.
  bool ok = ensureSignerPem(*folder, *made->signer);
  if (ok && fs.exists(files.tsr)) ok = fs.remove(files.tsr);
  ok = ok && fs.writeAtomically(files.json, made->sidecar) &&
       fs.writeAtomically(files.sig, made->signature);
  if (!ok) {
    Log::printf(kLogWriteFailed, files.json.c_str());
    return std::nullopt;
  }
  Log::printf(kLogMade, files.json.c_str());
  return files;
}

bool EvidenceProof::proveNewEvidence(const std::string& path, int32_t kind,
                                     std::optional<ScreenSize> screen) {
  auto files = make(path, kind, std::move(screen));
  if (!files) return false;
  if (!platform::Environment::tsaUrl().empty()) ProofStamper::shared().enqueue(files->json);
  return true;
}

TimeStampClient::Result EvidenceProof::stamp(const std::string& jsonPath) {
  FileSystem& fs = FileSystem::Default();
  TimeStampClient::Result result;
  const std::string url = platform::Environment::tsaUrl();
  ProofFiles files = filesOfSidecar(jsonPath);
  if (auto stored = fs.readFile(files.tsr)) {
    result.outcome = TimeStampClient::Outcome::Granted;
    result.reply = std::move(*stored);
    return result;
  }
  if (url.empty()) {
    result.error = "QUILLBOX_TSA_URL is not set";
    return result;
  }
  auto text = fs.readFile(files.json);
  const std::string sha256 = text ? member(parseSidecar(*text), "sha256") : "";
  auto imprint = hexBytes(sha256);
  if (!imprint || imprint->size() != 32) {
    result.error = "no readable proof " + files.json;
    return result;
  }
  result = TimeStampClient::stamp(url, *imprint);
  if (result.outcome != TimeStampClient::Outcome::Granted) return result;
  // The sidecar may have been replaced (a new file of the same name) meanwhile.
  auto now = fs.readFile(files.json);
  if (!now || member(parseSidecar(*now), "sha256") != sha256) {
    result.outcome = TimeStampClient::Outcome::Unusable;
    result.error = "the proof changed while it was stamped";
  } else if (!fs.writeAtomically(files.tsr, result.reply)) {
    result.outcome = TimeStampClient::Outcome::Unusable;
    result.error = "cannot write " + files.tsr;
  }
  return result;
}

EvidenceProof::Verification EvidenceProof::verify(const std::string& path, bool requireTimestamp) {
  FileSystem& fs = FileSystem::Default();
  Verification v;
  v.files = find(path);
  if (!v.files) {
    v.checks.push_back({"proof", "fail", "no proof of this file"});
    return v;
  }
  const ProofFiles& files = *v.files;
  const std::string text = fs.readFile(files.json).value_or("");
  auto sidecar = parseSidecar(text);
  const std::string claimed = member(sidecar, "sha256");

  Check sha{"sha256", "fail", ""};
  auto digests = hashFile(path, false);
  if (!digests) {
    sha.detail = "the file can't be read";
  } else if (!sidecar) {
    sha.detail = "the sidecar " + files.json + " is not a JSON object";
  } else if (digests->sha256 != claimed) {
    sha.detail =
        "the file's SHA-256 " + digests->sha256 + " differs from the sidecar's \"" + claimed + "\"";
  } else {
    sha.outcome = "pass";
  }
  v.checks.push_back(sha);

  Check sig{"signature", "fail", ""};
  const std::string named = member(sidecar, "signer");
  auto pem = signerPemFor(files.folder, named);
  auto signature = fs.readFile(files.sig);
  if (!pem) {
    sig.detail = "no public key " + (named.empty() ? std::string(kSignerFile) : named) + " in " +
                 files.folder;
  } else if (!signature) {
    sig.detail = "no signature " + files.sig;
  } else if (!SignerKey::verify(*pem, text, *signature)) {
    sig.detail = "the signature doesn't match the sidecar's bytes and the signer's key";
  } else {
    sig.outcome = "pass";
    v.signer = SignerKey::fingerprintOf(*pem).value_or("");
  }
  v.checks.push_back(sig);

  Check stampCheck{"timestamp", "absent", ""};
  if (auto tsr = fs.readFile(files.tsr)) {
    auto imprint = hexBytes(claimed);
    TimeStampClient::Check c = TimeStampClient::verify(*tsr, imprint.value_or(""));
    stampCheck.outcome = c.ok ? "pass" : "fail";
    stampCheck.detail = c.error;
    if (c.ok) v.stampTime = c.genTime;
  } else if (requireTimestamp) {
    stampCheck = {"timestamp", "fail", "no time stamp " + files.tsr};
  }
  v.checks.push_back(stampCheck);

  v.ok = true;
  for (const Check& c : v.checks) v.ok = v.ok && c.outcome != "fail";
  return v;
}

bool EvidenceProof::exportTo(const std::string& path, const std::string& dir,
                             std::vector<std::string>* written, std::string* error) {
  FileSystem& fs = FileSystem::Default();
  Verification v = verify(path, false);
  if (!v.ok) {
    *error = "the proof doesn't verify:";
    for (const Check& c : v.checks) {
      if (c.outcome == "fail") *error += " " + c.name + " (" + c.detail + ")";
    }
    return false;
  }
  if (!fs.createDirectories(dir)) {
    *error = "cannot make the folder " + dir;
    return false;
  }
  const ProofFiles& files = *v.files;
  const std::string name = platform::lastPathComponent(path);
  const bool haveStamp = fs.exists(files.tsr);
  const std::string roots = TimeStampClient::trustedRootsFile();
  const std::string text = fs.readFile(files.json).value_or("");
  auto sidecar = parseSidecar(text);
  auto pem = signerPemFor(files.folder, member(sidecar, "signer"));

  std::vector<std::pair<std::string, std::string>> copies = {
      {path, name}, {files.json, name + kJsonSuffix}, {files.sig, name + kSigSuffix}};
  if (haveStamp) copies.emplace_back(files.tsr, name + kTsrSuffix);
  if (!roots.empty()) copies.emplace_back(roots, "tsa-root.pem");
  const std::string folder = dir + "/";
  auto put = [&](const std::string& target, const platform::Outcome& wrote) {
    if (!wrote) *error = "cannot write " + folder + target + " (" + wrote.reason + ")";
    if (wrote) written->push_back(target);
    return wrote.ok();
  };
  for (const auto& [from, to] : copies) {
    if (!put(to, fs.copyAtomically(from, folder + to))) return false;
  }
  if (!pem) {
    *error = "cannot write " + folder + kSignerFile + " (no signer key for the proof)";
    return false;
  }
  if (!put(kSignerFile, fs.writeAtomically(dir + "/" + kSignerFile, *pem))) return false;
  std::string readme = verifyText(name, member(sidecar, "sha256"), member(sidecar, "signer"),
                                  haveStamp, !roots.empty(), v.stampTime);
  const bool carries = carriesC2pa(path);
  auto c2paSigner = carries ? C2paSigner::shared() : nullptr;
  const std::string c2paRoot = c2paSigner ? c2paSigner->rootPem() : "";
  if (!c2paRoot.empty() &&
      !put(ContentCredentials::kExportedRoot,
           fs.writeAtomically(dir + "/" + ContentCredentials::kExportedRoot, c2paRoot))) {
    return false;
  }
  if (carries) readme += c2paText(!c2paRoot.empty());
  return put("VERIFY.txt", fs.writeAtomically(dir + "/VERIFY.txt", readme));
}

}  // namespace quillbox
