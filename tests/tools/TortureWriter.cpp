// torture_writer: a writer for the crash-consistency test. Until it is
// killed, it creates evidence records, updates their states, rewrites their
// upload-state records and (with --sessions) replaces the session store, all
// through the system's own writers, and prints one line per write that has
// completed ("acknowledged"), flushed at once:
//   record PATH HASH     the property record of PATH exists with that content SHA-1
//   state PATH N         the record's "state" is N (states only grow)
//   upinfo PATH N        the upload-state record's "value" is N/2^20 (only grows)
//   session N            the web-info plist holds the token "tok-N" (N only grows;
//                        each run counts on from --session-base)
// With --ops N it stops by itself after N writes (the final clean run).
//
// Usage: torture_writer --tag T --seed S [--session-base B] [--ops N]   (sandbox environment)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "AppURL.h"
#include "Base/File.h"
#include "FileProperty/FileProperty.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Files/PropertyList.h"
#include "QBXUploadManager/QBXUploadTask.h"
#include "Request/Z_Request.h"
#include "SharedSettings.h"

using namespace quillbox;
using namespace quillbox::platform;

namespace {

struct Evidence {
  std::string path;
  int64_t size = 0;
  int32_t state = 0;
  int64_t uploaded = 0;
};

// The declared length of every upload: a power of two, so the stored
// fraction (a 32-bit float division) is exact.
constexpr int64_t kLength = 1 << 20;

void ack(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::string tag = "w";
  uint64_t seed = 1;
  bool sessions = false;
  long session = 0;
  long ops = -1;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--tag" && i + 1 < argc)
      tag = argv[++i];
    else if (a == "--seed" && i + 1 < argc)
      seed = std::strtoull(argv[++i], nullptr, 10);
    else if (a == "--ops" && i + 1 < argc)
      ops = std::strtol(argv[++i], nullptr, 10);
    else if (a == "--session-base" && i + 1 < argc) {
      sessions = true;
      session = std::strtol(argv[++i], nullptr, 10);
    }
  }
  if (!locateQuillboxApp() || !SharedSettings::currentUserName()) {
    std::fprintf(stderr, "torture_writer: no container or user\n");
    return 2;
  }
  const std::string user = *SharedSettings::currentUserName();
  const std::string folder = getAppDocFilePath("ScreenShot/" + user);
  FileSystem::Default().createDirectories(folder);
  std::mt19937_64 rng(seed);
  std::vector<Evidence> files;
  for (long n = 0; ops < 0 || n < ops; ++n) {
    unsigned op = files.empty() ? 0 : static_cast<unsigned>(rng() % (sessions ? 4 : 3));
    if (op == 0) {
      Evidence e;
      e.path = folder + "/" + tag + "-" + std::to_string(seed) + "-" + std::to_string(n) + ".png";
      std::string bytes(1000 + rng() % 7000, '\0');
      for (char& c : bytes) c = static_cast<char>(rng());
      if (!FileSystem::Default().writeAtomically(e.path, bytes)) continue;
      e.size = static_cast<int64_t>(bytes.size());
      auto rec =
          FileProperty::sharedFileProperty().toSaveFilePropertyWithoutRegistration(e.path, 8);
      if (!rec) continue;
      ack("record " + e.path + " " + rec->getString("hash"));
      files.push_back(e);
    } else if (op == 1) {
      Evidence& e = files[rng() % files.size()];
      int32_t next = e.state + 1;
      if (!FileProperty::sharedFileProperty().updateFileProperty(lastPathComponent(e.path), next))
        continue;
      e.state = next;
      ack("state " + e.path + " " + std::to_string(next));
    } else if (op == 2) {
      Evidence& e = files[rng() % files.size()];
      auto f = std::make_shared<File>();
      f->setName(lastPathComponent(e.path));
      f->setFPath(e.path);
      f->setFLen(std::to_string(kLength));
      f->setFTime(1700000000000);
      f->setFtype(8);
      f->setFileState(FileState::Uploading);
      f->setUploadedSize(e.uploaded + 1);
      auto task = QBXUploadTask::create();
      task->setFile(f);
      task->update();
      // update() reports nothing: the record read back is the acknowledgement.
      auto stored = Z_Request::getUpInfoWithPath(e.path);
      const PlistValue* v = stored ? stored->find("value") : nullptr;
      if (!v || static_cast<int64_t>(v->realValue() * kLength) != e.uploaded + 1) continue;
      ++e.uploaded;
      ack("upinfo " + e.path + " " + std::to_string(e.uploaded));
    } else {
      PlistDict web;
      web.set("type", PlistValue("0"));
      web.set("access_token", PlistValue("tok-" + std::to_string(session + 1)));
      if (!FileSystem::Default().writeOwnerOnlyAtomically(
              Z_Request::getAppLibFilePath(Z_Request::kWebInfoPlist),
              PropertyList::toXml(PlistValue(web))))
        continue;
      ++session;
      ack("session " + std::to_string(session));
    }
  }
  return 0;
}
