// Behaviour under faults and the closed doors: staged disk faults (full disk,
// failed rename, short writes) for the capture, store and upload-state
// writers; owner-only secret files; temporary files of killed writers; the
// store cache keyed on the inode; plain http only to loopback; a rendezvous
// folder others may write into.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "AppURL.h"
#include "FileProperty/FileProperty.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Files/PropertyList.h"
#include "Platform/Loop/DarwinNotifyCenter.h"
#include "Platform/Media/ImageCodec.h"
#include "Platform/Net/HttpClient.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "Platform/UI/JournalUserInterface.h"
#include "QBXUploadManager/QBXUploadTask.h"
#include "ScreenShotManager/ScreenShotManager.h"
#include "TestSupport.h"

using namespace quillbox;
using namespace quillbox::platform;
namespace fs = std::filesystem;

namespace {

std::string slurp(const std::string& path) {
  return FileSystem::Default().readFile(path).value_or("<missing>");
}

// Names in `dir` (recursively) that are temporary files of a replace.
std::vector<std::string> temporaries(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.path().filename().string().find(".tmp.") != std::string::npos) out.push_back(e.path());
  return out;
}

class ReliabilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    container_ = dir_.path() + "/Applications/0A1B2C3D-0000-4000-8000-0000000000FA";
    for (const char* sub : {"/quillbox.app", "/Library", "/Documents/ScreenShot/alice"})
      fs::create_directories(container_ + sub);
    fs::create_directories(dir_.path() + "/home");
    PlistDict info;
    info.set("userName", PlistValue("alice"));
    ASSERT_TRUE(PropertyList::write(lib("com.velmor.userinfo.plist"), PlistValue(info)));
    settings_.set("QUILLBOX_HOME", dir_.path() + "/home");
    containerScope_.set(container_);
  }
  std::string lib(const std::string& name) const { return container_ + "/Library/" + name; }
  std::string shots() const { return container_ + "/Documents/ScreenShot/alice"; }
  bool logged(const std::string& needle) {
    std::lock_guard<std::mutex> lock(logMu_);
    for (const auto& l : log_)
      if (l.find(needle) != std::string::npos) return true;
    return false;
  }

  TempDir dir_;
  std::string container_;
  JournalUserInterface ui_{dir_.path() + "/ui.jsonl", JournalUserInterface::PromptPolicy::None};
  ScopedDefault<UserInterface> uiScope_{ui_};
  // Nothing leaves the process.
  ThreadsFor quiet_{FileProperty::kRegistrationThread, ThreadsFor::Mode::Drop};
  ScopedDefault<Threads> quietScope_{quiet_};
  std::mutex logMu_;
  std::vector<std::string> log_;
  ScopedLogSink sink_{[this](const std::string& l) {
    std::lock_guard<std::mutex> lock(logMu_);
    log_.push_back(l);
  }};
  ScopedSettings settings_;
  ScopedContainer containerScope_;
  AtScopeEnd noFaults_{[] { FileSystem::setFaultsForTesting(std::nullopt); }};
};

}  // namespace

// Every writer, under every staged fault: the write reports failure, the
// reason is logged, the previous file is byte for byte what it was, no
// temporary file is left, and the same write succeeds once the fault is gone.
TEST_F(ReliabilityTest, DiskFaultsLeaveThePreviousFileAndTheNextWriteSucceeds) {
  Image img;
  img.width = img.height = 64;
  for (int i = 0; i < 64 * 64 * 4; ++i) img.rgba.push_back(static_cast<uint8_t>(i * 7919 >> 3));
  const std::string png = *ImageCodec::encodePNG(img);
  const std::string evidence = shots() + "/ScreenShot_20240101_000000.png";
  FileSystem::Default().writeAtomically(evidence, png);
  ASSERT_TRUE(
      FileProperty::sharedFileProperty().toSaveFilePropertyWithoutRegistration(evidence, 8));
  auto task = QBXUploadTask::create();
  auto file = QBXUploadTask::getFileWillUploadWithPath(evidence, 8);
  ASSERT_TRUE(file);
  task->setFile(file);
  int64_t step = 0;

  struct Writer {
    const char* name;
    std::function<bool()> write;         // false: the writer reported the failure
    std::function<std::string()> state;  // what a failed write must leave unchanged
  };
  auto bytesOf = [](std::string path) { return [path] { return slurp(path); }; };
  const std::vector<Writer> writers = {
      {"capture", [&] { return !ScreenShotManager::sharedManager().saveImageToLocal(png).empty(); },
       [&] {
         std::string listing;  // names with inodes: a replace shows too
         for (const auto& e : fs::directory_iterator(shots()))
           listing += e.path().filename().string() + ":" +
                      std::to_string(FileSystem::Default().attributes(e.path())->inode) + " ";
         return listing;
       }},
      {"store",
       [&] {
         return FileProperty::sharedFileProperty().updateFilePropertyWithPath(
             evidence, "fileID", PlistValue("f" + std::to_string(++step)));
       },
       bytesOf(lib(FileProperty::kStoreFile))},
      {"upload state",
       [&] {
         file->setUploadedSize(++step);
         task->update();
         return true;  // update() reports nothing; its log line and the file tell
       },
       bytesOf(lib("com.velmor.upinfo.plist"))},
  };
  struct Fault {
    const char* name;
    FileSystemFaults faults;
    int error;
    const char* reason;
  };
  const std::vector<Fault> faults = {
      {"full disk", {0, 0, 0}, ENOSPC, "write: No space left on device"},
      {"full half-way", {200, 0, 0}, ENOSPC, "write: No space left on device"},
      {"failed rename", {-1, 1, 0}, EIO, "rename: Input/output error"}};
  // The reasons the writers were given back, in order.
  struct Reasons : FileSystemWrapper {
    Reasons() : FileSystemWrapper(FileSystem::Default()) {}
    Outcome writeAtomically(const std::string& p, std::string_view d) override {
      Outcome o = target_.writeAtomically(p, d);
      if (!o) failures.push_back(o);
      return o;
    }
    std::vector<Outcome> failures;
  } reasons;
  ScopedDefault<FileSystem> reasonsScope(reasons);
  for (const Writer& w : writers) {
    ASSERT_TRUE(w.write());
    for (const Fault& f : faults) {
      SCOPED_TRACE(std::string(w.name) + " / " + f.name);
      const std::string before = w.state();
      {
        std::lock_guard<std::mutex> lock(logMu_);
        log_.clear();
      }
      reasons.failures.clear();
      FileSystem::setFaultsForTesting(f.faults);
      bool wrote = w.write();
      FileSystem::setFaultsForTesting(std::nullopt);
      EXPECT_TRUE(!wrote || std::string(w.name) == "upload state") << "reported as written";
      EXPECT_TRUE(logged("cannot replace")) << "no log line";
      ASSERT_EQ(reasons.failures.size(), 1u);
      EXPECT_EQ(reasons.failures[0].error, f.error);
      EXPECT_EQ(reasons.failures[0].reason, f.reason);
      EXPECT_EQ(w.state(), before);
      EXPECT_EQ(temporaries(container_), std::vector<std::string>{});
      EXPECT_TRUE(w.write()) << "after the fault";
      EXPECT_NE(w.state(), before) << "after the fault";
    }
  }
}

// write(2) may take fewer bytes than offered: every byte still arrives.
TEST_F(ReliabilityTest, ShortWritesStillWriteWholeFiles) {
  std::string data;
  for (int i = 0; i < 5000; ++i) data += std::to_string(i) + ",";
  FileSystem::setFaultsForTesting(FileSystemFaults{-1, 0, 40});
  EXPECT_TRUE(FileSystem::Default().writeAtomically(lib("short.txt"), data));
  FileSystem::setFaultsForTesting(std::nullopt);
  EXPECT_EQ(slurp(lib("short.txt")), data);
}

// Secret files are 0600 from their creation on and after every rewrite,
// whatever the mode of the file they replace and the umask.
TEST_F(ReliabilityTest, SecretFilesStayOwnerOnly) {
  const std::string path = lib("com.velmor.webinfo.plist");
  writeFile(path, "old");
  ::chmod(path.c_str(), 0644);
  mode_t old = ::umask(0);
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(
        FileSystem::Default().writeOwnerOnlyAtomically(path, "token " + std::to_string(round)));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "round " << round;
  }
  ::umask(old);
  EXPECT_EQ(slurp(path), "token 1");
}

// A writer killed between naming its temporary file and the rename leaves it
// behind; the next write into that folder by another process removes it,
// while those of running writers stay.
TEST_F(ReliabilityTest, TemporaryFilesOfEndedWritersAreRemoved) {
  pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  const std::string folder = dir_.path() + "/leftovers";
  fs::create_directories(folder);
  const std::string dead = folder + "/.a.plist.tmp." + std::to_string(child) + ".3";
  const std::string live = folder + "/.a.plist.tmp.1.7";  // pid 1 always runs
  writeFile(dead, "half");
  writeFile(live, "busy");
  ASSERT_TRUE(FileSystem::Default().writeAtomically(folder + "/a.plist", "whole"));
  EXPECT_FALSE(fs::exists(dead));
  EXPECT_TRUE(fs::exists(live));
  EXPECT_TRUE(logged("left by an ended writer"));
}

// Another process replaces the store with a text of the same size within one
// timestamp tick: the new inode alone tells the cache to read it again.
TEST_F(ReliabilityTest, StoreCacheSeesASameSizeReplaceWithinOneTick) {
  struct FrozenClock : FileSystemWrapper {
    FrozenClock() : FileSystemWrapper(FileSystem::Default()) {}
    std::optional<FileAttributes> attributes(const std::string& p) override {
      auto a = target_.attributes(p);
      if (a) a->creationDate = a->modificationDate = {};
      return a;
    }
  } frozen;
  ScopedDefault<FileSystem> frozenScope(frozen);
  const std::string evidence = shots() + "/a.png";
  PlistDict rec;
  rec.set("path", PlistValue(evidence));
  rec.set("state", PlistValue::integer(1));
  auto& store = FileProperty::sharedFileProperty();
  ASSERT_TRUE(store.writeDicTOFile(FileProperty::kStoreFile, rec, "alice"));
  ASSERT_EQ(store.getFilePropertyWithPath(evidence)->getInteger("state"), 1);
  std::string text = slurp(lib(FileProperty::kStoreFile));
  text.replace(text.find("<integer>1</integer>"), 20, "<integer>2</integer>");
  ASSERT_TRUE(FileSystem::Default().writeAtomically(lib(FileProperty::kStoreFile), text));
  auto seen = store.getFilePropertyWithPath(evidence);
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->getInteger("state"), 2);
}

// Requests carry the token or the password digest: plain http only to
// loopback, and never without a scheme; the update check may opt out.
TEST_F(ReliabilityTest, PlainHttpGoesOnlyToLoopback) {
  struct Case {
    const char* url;
    bool cleartextAllowed, refused;
  };
  for (const Case& c : std::vector<Case>{{"https://quillbox.example/3/", false, false},
                                         {"http://127.0.0.1:8443/3/", false, false},
                                         {"http://127.9.8.7/3/", false, false},
                                         {"http://[::1]:80/3/", false, false},
                                         {"http://localhost/3/", false, false},
                                         {"http://quillbox.example/3/", false, true},
                                         {"http://10.0.0.1/3/", false, true},
                                         {"http://127.0.0.1.example/3/", false, true},
                                         {"quillbox.example/3/", false, true},
                                         {"ftp://127.0.0.1/3/", false, true},
                                         {"http://update.example/check", true, false}}) {
    EXPECT_EQ(HttpClient::refusal(c.url, c.cleartextAllowed).has_value(), c.refused) << c.url;
  }
  HttpRequest request;
  request.url = "http://192.0.2.1/3/login.json";  // would hang if it were tried
  HttpResponse r = HttpClient::Default().send(request);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(logged("HttpClient: refused http://192.0.2.1/3/login.json"));
  std::string failure;
  HttpUpload upload("http://192.0.2.1/3/file/upload.json?id=1&index=0", {},
                    lib("com.velmor.userinfo.plist"), 0, 5,
                    {nullptr, nullptr, [&](std::string e) { failure = e; }});
  upload.run();
  EXPECT_NE(failure.find("refused"), std::string::npos) << failure;
}

// A rendezvous folder other users may write into is refused, not repaired:
// what they put there would stay (a socket standing in for an observer).
TEST_F(ReliabilityTest, RendezvousFolderWritableByOthersIsRefused) {
  for (mode_t mode : {0777, 0770, 0722}) {
    const std::string folder = dir_.path() + "/notify-" + std::to_string(mode);
    fs::create_directories(folder);
    ::chmod(folder.c_str(), mode);
    settings_.set("QUILLBOX_NOTIFY_DIR", folder);
    DarwinNotifyCenter center;
    EXPECT_EQ(center.addObserver("x", [](const std::string&) {}), 0u) << std::oct << mode;
    EXPECT_FALSE(center.post("x"));
    EXPECT_TRUE(logged("may be written by other users"));
    EXPECT_TRUE(fs::is_empty(folder));
  }
}
