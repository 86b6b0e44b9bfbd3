// handoff_bench: times the post-capture hand-off after the PNG is stored.
//
// The hand-off creates the property record (the file's digests, the store
// upsert; the registration runs on a thread of its own), writes the evidence
// proof (SHA-256 and SHA-1 of the file, the Ed25519 signature of the sidecar,
// the files; its time stamp would run in the background), shows the evidence
// prompt and writes the thumbnails. The thumbnails are made from the picture
// the capture still holds ("picture"), or from the stored PNG decoded again
// ("decode", what the hand-off would do without it). Both must give the same
// thumbnail bytes: PNG is lossless.
//
// Runs in a throw-away container under /tmp; the service address points at a
// closed loopback port, so the registrations never reach anything.
//
// Usage: handoff_bench --png FILE [--reps N]
// Prints per-part medians and a closing line
//   summary: reps=N picture_ms=P decode_ms=D saved_ms=S record_ms=R proof_ms=F
//            proof_sign_ms=G prompt_ms=A thumbs_ms=T png_decode_ms=X thumbnails_equal=0|1
// proof_ms is the whole proof; proof_sign_ms its digests and signature alone
// (target: under 5 ms for a desktop screenshot).
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "AppURL.h"
#include "Base/File.h"
#include "BenchSupport.h"
#include "FileProperty/FileProperty.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Files/PropertyList.h"
#include "Platform/Media/ImageCodec.h"
#include "Proof/EvidenceProof.h"
#include "Request/Z_Request.h"
#include "ScreenShotManager/ScreenShotManager.h"
#include "SharedSettings.h"
#include "UIImageThumbnail/UIImageThumbnailToLocal.h"

using namespace quillbox;
using namespace quillbox::platform;
using bench::Clock;
using bench::median;
using bench::msSince;
namespace fs = std::filesystem;

namespace {

int usage() {
  fprintf(stderr, "usage: handoff_bench --png FILE [--reps N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string png;
  int reps = 9;
  for (int i = 1; i < argc; ++i) {
    if (!strcmp(argv[i], "--png") && i + 1 < argc)
      png = argv[++i];
    else if (!strcmp(argv[i], "--reps") && i + 1 < argc)
      reps = std::max(1, atoi(argv[++i]));
    else
      return usage();
  }
  if (png.empty()) return usage();
  FileSystem& files = FileSystem::Default();
  auto bytes = files.readFile(png);
  if (!bytes) {
    fprintf(stderr, "handoff_bench: cannot read %s\n", png.c_str());
    return 1;
  }

  // A container of our own, with a user and an unreachable service.
  char tmpl[] = "/tmp/handoff-bench.XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string root = tmpl;
  const std::string container = root + "/Applications/BENCH";
  files.createDirectories(container + "/quillbox.app");
  files.createDirectories(container + "/Library");
  files.createDirectories(root + "/home");
  files.createDirectories(root + "/notify");
  PlistDict info;
  info.set("CFBundleVersion", PlistValue("1.3.07010"));
  PropertyList::write(container + "/quillbox.app/Info.plist", PlistValue(info));
  PlistDict user;
  user.set("userName", PlistValue("bench"));
  PropertyList::write(container + "/Library/" + SharedSettings::kUserInfoFile, PlistValue(user));
  PlistDict service;
  service.set("url", PlistValue("https://127.0.0.1:9/3/"));
  PropertyList::write(container + "/Library/" + Z_Request::kLocalPlist, PlistValue(service));
  setenv("QUILLBOX_APPS_ROOT", (root + "/Applications").c_str(), 1);
  setenv("QUILLBOX_HOME", (root + "/home").c_str(), 1);
  setenv("QUILLBOX_NOTIFY_DIR", (root + "/notify").c_str(), 1);
  setenv("QUILLBOX_UI", ("journal:" + root + "/ui.jsonl").c_str(), 1);
  setenv("QUILLBOX_PROMPT", "none", 1);
  if (!locateQuillboxApp()) {
    fprintf(stderr, "handoff_bench: the bench container was not found\n");
    return 1;
  }
  const std::string shots = getAppDocFilePath("ScreenShot/bench");
  files.createDirectories(shots);

  // What the capture holds when it has stored the PNG.
  auto picture = ImageCodec::decodePNG(*bytes);
  if (!picture) {
    fprintf(stderr, "handoff_bench: %s is not a PNG\n", png.c_str());
    return 1;
  }
  // Every hand-off needs a file of its own: thumbnails are never overwritten.
  auto stored = [&](const std::string& mode, int i) {
    const std::string name = "ScreenShot_" + mode + std::to_string(i) + ".png";
    files.writeAtomically(shots + "/" + name, *bytes);
    return name;
  };

  ScreenShotManager& manager = ScreenShotManager::sharedManager();
  std::vector<double> withPicture, withDecode, record, proof, proofSign, prompt, thumbs, decode;
  // The signing key is made once per installation and then loaded once per process.
  const ScreenSize screen{picture->width, picture->height, {}};
  if (!EvidenceProof::sign(shots + "/" + stored("warmup", 0), FileKind::Screenshot, screen)) {
    fprintf(stderr, "handoff_bench: no proof could be signed\n");
    return 1;
  }
  for (int i = 0; i < reps; ++i) {
    std::string name = stored("picture", i);
    auto t = Clock::now();
    manager.postCaptureHandOff(name, shots + "/" + name, &*picture);
    withPicture.push_back(msSince(t));

    name = stored("decode", i);
    t = Clock::now();
    manager.postCaptureHandOff(name, shots + "/" + name, nullptr);
    withDecode.push_back(msSince(t));

    // The parts one by one.
    name = stored("parts", i);
    const std::string path = shots + "/" + name;
    File f;
    f.setFPath(path);
    f.setFtype(FileKind::Screenshot);
    t = Clock::now();
    FileProperty::sharedFileProperty().createFileProperty(f);
    record.push_back(msSince(t));
    t = Clock::now();
    EvidenceProof::proveNewEvidence(path, FileKind::Screenshot, screen);
    proof.push_back(msSince(t));
    t = Clock::now();
    EvidenceProof::sign(path, FileKind::Screenshot, screen);
    proofSign.push_back(msSince(t));
    t = Clock::now();
    manager.showUploadAlert(name, path);
    prompt.push_back(msSince(t));
    t = Clock::now();
    UIImageThumbnailToLocal::ThumbnalToLocal(*picture, name, false, 2);
    thumbs.push_back(msSince(t));
    t = Clock::now();
    auto again = ImageCodec::decodePNG(*files.readFile(path));
    decode.push_back(msSince(t));
    if (!again) return 1;
  }

  // Same thumbnails either way.
  bool equal = true;
  for (int i = 0; i < reps; ++i) {
    for (const std::string& folder :
         {UIImageThumbnailToLocal::smallFolder(), UIImageThumbnailToLocal::middleFolder()}) {
      auto a = files.readFile(folder + "/" +
                              UIImageThumbnailToLocal::thumbnailName("ScreenShot_picture" +
                                                                     std::to_string(i) + ".png"));
      auto b = files.readFile(
          folder + "/" +
          UIImageThumbnailToLocal::thumbnailName("ScreenShot_decode" + std::to_string(i) + ".png"));
      equal = equal && a && b && !a->empty() && *a == *b;
    }
  }

  printf("picture %dx%d, PNG %zu bytes, %d hand-offs per mode\n", picture->width, picture->height,
         bytes->size(), reps);
  printf(
      "summary: reps=%d picture_ms=%.2f decode_ms=%.1f saved_ms=%.1f record_ms=%.2f "
      "proof_ms=%.2f proof_sign_ms=%.2f prompt_ms=%.2f thumbs_ms=%.2f png_decode_ms=%.1f "
      "thumbnails_equal=%d\n",
      reps, median(withPicture), median(withDecode), median(withDecode) - median(withPicture),
      median(record), median(proof), median(proofSign), median(prompt), median(thumbs),
      median(decode), equal ? 1 : 0);
  fflush(stdout);
  std::error_code ec;
  fs::remove_all(root, ec);
  // The registration threads still retry against the closed port: leave
  // without running static destructors under their feet.
  std::_Exit(equal ? 0 : 1);
}
