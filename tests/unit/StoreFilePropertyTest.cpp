// The property store: match rules, upsert, updates, tamper check, registration.
// ctest-labels: threaded (run under ThreadSanitizer by make test-tsan)
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "AppURL.h"
#include "Base/File.h"
#include "FileProperty/FileProperty.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Files/PropertyList.h"
#include "Platform/Process/Clock.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "Platform/UI/UserInterface.h"
#include "PropertyList/PlistXmlWriter.h"
#include "SHA1Help/SHA1Help.h"
#include "TestSupport.h"

using namespace quillbox;
using namespace quillbox::platform;
namespace fs = std::filesystem;

namespace {

class StoreFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qb-store.XXXXXX";
    root_ = mkdtemp(tmpl);
    container_ = root_ + "/Applications/0A1B2C3D-0000-4000-8000-000000000001";
    fs::create_directories(container_ + "/quillbox.app");
    fs::create_directories(container_ + "/Library");
    fs::create_directories(container_ + "/Documents/ScreenShot/alice");
    setUser("alice");
    settings_.set("QUILLBOX_APPS_ROOT", root_ + "/Applications");
    containerScope_.set(container_);
  }
  void TearDown() override { fs::remove_all(root_); }

  void setUser(const std::string& name) {
    PlistDict info;
    info.set("userName", PlistValue(name));
    ASSERT_TRUE(
        PropertyList::write(container_ + "/Library/com.velmor.userinfo.plist", PlistValue(info)));
  }
  std::string storePath() const { return container_ + "/Library/" + FileProperty::kStoreFile; }
  std::string doc(const std::string& rel) const { return container_ + "/Documents/" + rel; }
  std::string writeDoc(const std::string& rel, const std::string& content) {
    std::string p = doc(rel);
    fs::create_directories(fs::path(p).parent_path());
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }
  PlistArray records(const std::string& user = "alice") const {
    auto v = PropertyList::read(storePath());
    if (!v || !v->asDict()) return {};
    const PlistValue* a = v->asDict()->find(user);
    return a && a->asArray() ? *a->asArray() : PlistArray{};
  }
  std::string storeBytes() const {
    return FileSystem::Default().readFile(storePath()).value_or("<none>");
  }
  static PlistDict rec(const std::string& path, int64_t size = 1, const std::string& hash = "h") {
    PlistDict d;
    d.set("type", PlistValue::integer(8));
    d.set("time", PlistValue::integer(1000));
    d.set("sha1", PlistValue(""));
    d.set("md5", PlistValue(""));
    d.set("size", PlistValue::integer(size));
    d.set("path", PlistValue(path));
    d.set("state", PlistValue::integer(0));
    d.set("hash", PlistValue(hash));
    return d;
  }
  bool logHas(const std::string& needle) {
    std::lock_guard<std::mutex> lock(logMu_);
    for (auto& l : log_)
      if (l.find(needle) != std::string::npos) return true;
    return false;
  }
  int logCount(const std::string& needle) {
    std::lock_guard<std::mutex> lock(logMu_);
    int n = 0;
    for (auto& l : log_)
      if (l.find(needle) != std::string::npos) ++n;
    return n;
  }
  // Registration that never leaves the process: its thread never runs.
  void quietRegistration() { quietScope_.emplace(quiet_); }

  FileProperty& store() { return FileProperty::sharedFileProperty(); }

  std::string root_, container_;
  std::mutex logMu_;
  std::vector<std::string> log_;
  ScopedSettings settings_;
  ScopedContainer containerScope_;
  ScopedLogSink logSink_{[this](const std::string& l) {
    std::lock_guard<std::mutex> lock(logMu_);
    log_.push_back(l);
  }};
  // The widget mode and the registration's service doubles a test may turn on.
  AtScopeEnd modes_{[] {
    FileProperty::setWidgetMode(false);
    FileProperty::setRegistrationEnvironmentForTesting({});
  }};
  ThreadsFor quiet_{FileProperty::kRegistrationThread, ThreadsFor::Mode::Drop};
  std::optional<ScopedDefault<Threads>> quietScope_;
};

}  // namespace

TEST(StoreFileRecord, NewRecordAndKindCodes) {
  auto f = std::make_shared<File>();
  EXPECT_EQ(f->ftype(), 0);
  EXPECT_EQ(f->fileState(), FileState::New);
  EXPECT_FALSE(f->name());
  EXPECT_FALSE(f->fPath());
  EXPECT_FALSE(f->fTime());
  EXPECT_FALSE(f->uploadedSize());
  EXPECT_FALSE(f->fileID());
  f->setFTime(1700000000123LL);
  f->setUploadedSize(int64_t{5} << 33);
  EXPECT_EQ(*f->fTime(), 1700000000123LL);
  EXPECT_EQ(*f->uploadedSize(), int64_t{5} << 33);
  EXPECT_EQ(formatKindCode(FileKind::Screenshot), "08");
  EXPECT_EQ(formatKindCode(FileKind::TempMedia), "11");
  EXPECT_EQ(formatKindCode(0), "00");
}

TEST(StoreFileProperty, KeyedDigestOfAKnownRecord) {
  // sha1 of "da39...0709" "1700000000123" "12345" and the client secret, by sha1sum.
  EXPECT_EQ(
      FileProperty::keyedDigest("da39a3ee5e6b4b0d3255bfef95601890afd80709", 1700000000123, 12345),
      "4ae04c2003120d470f5b4c5c73b0700e55e923d4");
}

TEST(StoreFileProperty, PathReductions) {
  EXPECT_EQ(FileProperty::documentsRelativeKey("/x/Documents/ScreenShot/alice/a.png"),
            "/ScreenShot/alice/a.png");
  EXPECT_EQ(FileProperty::documentsRelativeKey("/x/Documents"), "/x/Documents");
  EXPECT_EQ(FileProperty::documentsRelativeKey("/x/other/a.png"), "/x/other/a.png");
  EXPECT_EQ(FileProperty::documentsTail("/x/Documents/a/b"), "/Documents/a/b");
  EXPECT_FALSE(FileProperty::documentsTail("/x/Documents"));
  EXPECT_FALSE(FileProperty::documentsTail("/x/MyDocuments2/a"));
}

TEST_F(StoreFixture, FirstRecordLayoutAndReplacement) {
  quietRegistration();
  std::string a = writeDoc("ScreenShot/alice/a.png", "aaaa");
  std::string b = writeDoc("ScreenShot/alice/b.png", "bbbbbb");
  store().toSaveFileProperty(a, FileKind::Screenshot);
  auto top = PropertyList::read(storePath());
  ASSERT_TRUE(top && top->asDict());
  std::vector<std::string> keys;
  for (auto& [k, v] : *top->asDict()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"root", "alice"}));
  EXPECT_TRUE(top->asDict()->find("root")->asArray()->empty());
  auto rs = records();
  ASSERT_EQ(rs.size(), 1u);
  const PlistDict& r = *rs[0].asDict();
  keys.clear();
  for (auto& [k, v] : r) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"type", "time", "sha1", "md5", "size", "path", "state",
                                            "hash"}));
  EXPECT_EQ(r.getString("hash"), *SHA1Help::file_sha1(a));
  EXPECT_EQ(r.getString("sha1"),
            FileProperty::keyedDigest(r.getString("hash"), r.getInteger("time"), 4));
  EXPECT_EQ(r.getString("md5"), "");
  EXPECT_EQ(r.getInteger("size"), 4);
  EXPECT_EQ(r.getInteger("type"), 8);
  EXPECT_EQ(r.getInteger("state"), 0);
  EXPECT_TRUE(logHas("日志:本地文件属性创建成功。"));
  // The created journal is the widget's only.
  EXPECT_FALSE(fs::exists(container_ + "/Library/" + FileProperty::kCreatedJournalFile));

  store().toSaveFileProperty(b, FileKind::Screenshot);
  store().updateFilePropertyWithPath(a, "fileID", PlistValue("srv-1"));
  std::ofstream(a, std::ios::binary | std::ios::app) << "more";
  store().toSaveFileProperty(a, FileKind::Screenshot);  // replaces, moves to the end
  rs = records();
  ASSERT_EQ(rs.size(), 2u);
  EXPECT_EQ(rs[0].asDict()->getString("path"), b);
  EXPECT_EQ(rs[1].asDict()->getString("path"), a);
  EXPECT_EQ(rs[1].asDict()->getInteger("size"), 8);
  EXPECT_FALSE(rs[1].asDict()->contains("fileID"));
}

TEST_F(StoreFixture, WidgetModeKeepsJournalAndLogs) {
  quietRegistration();
  FileProperty::setWidgetMode(true);
  std::string a = writeDoc("ScreenShot/alice/a.png", "aaaa");
  store().toSaveFileProperty(a, FileKind::Screenshot);
  auto journal = PropertyList::read(container_ + "/Library/" + FileProperty::kCreatedJournalFile);
  ASSERT_TRUE(journal && journal->asDict());
  ASSERT_EQ(journal->asDict()->find("alice")->asArray()->size(), 1u);
  EXPECT_EQ(*journal->asDict()->find("alice")->asArray()->at(0).asDict(), *records()[0].asDict());

  EXPECT_FALSE(store().updateFilePropertyWithPath("", "state", PlistValue::integer(1)));
  EXPECT_TRUE(logHas("logo:没有路径:"));
  EXPECT_FALSE(store().updateFilePropertyWithPath("/x/a.png", "state", PlistValue::integer(1)));
  EXPECT_TRUE(logHas("logo:没有Documents"));
  EXPECT_TRUE(store().updateFilePropertyWithPath(a, "state", PlistValue::integer(1)));
  EXPECT_EQ(logCount("logo:找到了。我的天"), 1);
  EXPECT_TRUE(logHas("logo:遍历完了："));
  setUser("bob");
  EXPECT_FALSE(store().updateFilePropertyWithPath(a, "state", PlistValue::integer(1)));
  EXPECT_TRUE(logHas("logo:一切都结束了,1"));
}

TEST_F(StoreFixture, LookupsFollowTheirMatchRules) {
  ASSERT_TRUE(store().writeDicTOFile(
      FileProperty::kStoreFile, rec("/old/container/Documents/ScreenShot/alice/a.png"), "alice"));
  ASSERT_TRUE(store().writeDicTOFile(FileProperty::kStoreFile, rec("/no/docs/z.png"), "alice"));
  // Equal Documents-relative keys across containers.
  auto r = store().getFilePropertyWithPath(doc("ScreenShot/alice/a.png"));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->getString("path"), "/old/container/Documents/ScreenShot/alice/a.png");
  EXPECT_FALSE(store().getFilePropertyWithPath(doc("ScreenShot/alice/a.pn")));
  // A query without text after "Documents" matches nothing, not even a whole stored path.
  EXPECT_FALSE(store().getFilePropertyWithPath("/no/docs/z.png"));
  EXPECT_FALSE(store().getFilePropertyWithPath(container_ + "/Documents"));
  // Keyed look-up: containment of the Documents tail.
  EXPECT_EQ(store().getFilePropertyWithPath("/elsewhere/Documents/ScreenShot/alice/a.png", "type"),
            PlistValue::integer(8));
  EXPECT_EQ(store().getFilePropertyWithPath("/e/Documents/ScreenShot/alice/a", "size"),
            PlistValue::integer(1));  // a prefix is contained
  EXPECT_FALSE(store().getFilePropertyWithPath("/e/Documents/ScreenShot/alice/a.png", "fileID"));
  EXPECT_FALSE(store().getFilePropertyWithPath("/no/docs/z.png", "type"));
  auto whole = store().getFilePropertyWithPath("/e/Documents/ScreenShot/alice/a.png", "");
  ASSERT_TRUE(whole && whole->asDict());
  // Another user sees nothing.
  setUser("bob");
  EXPECT_FALSE(store().getFilePropertyWithPath(doc("ScreenShot/alice/a.png")));
}

TEST_F(StoreFixture, StateUpdateByFileName) {
  ASSERT_TRUE(store().writeDicTOFile(FileProperty::kStoreFile, rec(doc("ScreenShot/alice/A.PNG")),
                                     "alice"));
  ASSERT_TRUE(store().writeDicTOFile(FileProperty::kStoreFile, rec(doc("ScreenShot/alice/a.png")),
                                     "alice"));
  ASSERT_TRUE(
      store().writeDicTOFile(FileProperty::kStoreFile, rec(doc("cameras/alice/v.mov")), "alice"));
  ASSERT_TRUE(
      store().writeDicTOFile(FileProperty::kStoreFile, rec(doc("alice/Audio/s.m4a")), "alice"));
  EXPECT_TRUE(store().updateFileProperty("A.PNG", 3));
  EXPECT_TRUE(store().updateFileProperty("v.mov", 1));
  EXPECT_TRUE(store().updateFileProperty("s.m4a", PlistValue("上传中")));  // the legacy text form
  auto rs = records();
  EXPECT_EQ(rs[0].asDict()->getInteger("state"), 3);
  EXPECT_EQ(rs[1].asDict()->getInteger("state"), 0);  // capitals kept in the key
  EXPECT_EQ(rs[2].asDict()->getInteger("state"), 1);
  EXPECT_EQ(rs[3].asDict()->getString("state"), "上传中");
  // Other extensions change nothing but still rewrite the store.
  std::string before = storeBytes();
  EXPECT_TRUE(store().updateFileProperty("a.txt", 2));
  EXPECT_EQ(storeBytes(), before);
  EXPECT_FALSE(store().updateFileProperty("", 2));
  EXPECT_FALSE(store().updateFileProperty("a.png", PlistValue()));
}

TEST_F(StoreFixture, FieldUpdateTouchesEveryContainingRecord) {
  ASSERT_TRUE(store().writeDicTOFile(FileProperty::kStoreFile,
                                     rec("/c1/Documents/ScreenShot/alice/a.png"), "alice"));
  ASSERT_TRUE(store().writeDicTOFile(FileProperty::kStoreFile,
                                     rec("/c2/Documents/ScreenShot/alice/b.png"), "alice"));
  EXPECT_TRUE(store().updateFilePropertyWithPath(doc("ScreenShot/alice/a.png"), "fileID",
                                                 PlistValue("id-9")));
  EXPECT_TRUE(
      store().updateFilePropertyWithPath(doc("ScreenShot/"), "state", PlistValue::integer(6)));
  auto rs = records();
  EXPECT_EQ(rs[0].asDict()->getString("fileID"), "id-9");
  EXPECT_FALSE(rs[1].asDict()->contains("fileID"));
  EXPECT_EQ(rs[0].asDict()->getInteger("state"), 6);
  EXPECT_EQ(rs[1].asDict()->getInteger("state"), 6);
  EXPECT_FALSE(store().updateFilePropertyWithPath(doc("a.png"), "fileID", PlistValue()));
  EXPECT_FALSE(store().updateFilePropertyWithPath("/x/a.png", "fileID", PlistValue("v")));
}

TEST_F(StoreFixture, TamperCheck) {
  quietRegistration();
  std::string a = writeDoc("ScreenShot/alice/a.png", "evidence-bytes");
  store().toSaveFileProperty(a, FileKind::Screenshot);
  const PlistDict original = *records()[0].asDict();
  auto v = store().toCheckFilePropertyWithLocal(a);
  ASSERT_TRUE(v);
  std::vector<std::string> keys;
  for (auto& [k, x] : *v) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"md5", "size", "path", "time", "sha1"}));
  EXPECT_EQ(v->getString("md5"), original.getString("hash"));
  EXPECT_EQ(v->getString("sha1"), original.getString("sha1"));
  EXPECT_EQ(v->getInteger("time"), original.getInteger("time"));
  EXPECT_EQ(v->getString("path"), a);

  // A byte-identical copy elsewhere in Documents verifies through the original.
  std::string copy = writeDoc("Other/copy.png", "evidence-bytes");
  auto vc = store().toCheckFilePropertyWithLocal(copy);
  ASSERT_TRUE(vc);
  EXPECT_EQ(vc->getString("path"), copy);
  EXPECT_EQ(vc->getString("sha1"), original.getString("sha1"));

  // Same size, one byte changed.
  writeDoc("ScreenShot/alice/a.png", "evidence-byteZ");
  EXPECT_FALSE(store().toCheckFilePropertyWithLocal(a));
  writeDoc("ScreenShot/alice/a.png", "evidence-bytes");
  ASSERT_TRUE(store().toCheckFilePropertyWithLocal(a));

  // Tampering with the recorded time, size, keyed digest or content digest:
  // digests that differ in their last character only, or by one more.
  auto lastChanged = [](std::string d) {
    d.back() = d.back() == '0' ? '1' : '0';
    return d;
  };
  const std::string sha1 = original.getString("sha1"), hash = original.getString("hash");
  const std::pair<const char*, PlistValue> forgeries[] = {
      {"time", PlistValue::integer(original.getInteger("time") + 1)},
      {"size", PlistValue::integer(original.getInteger("size") + 1)},
      {"sha1", PlistValue(std::string(40, '0'))},
      {"sha1", PlistValue(lastChanged(sha1))},
      {"sha1", PlistValue(sha1 + "0")},
      {"hash", PlistValue(lastChanged(hash))},
      {"hash", PlistValue(hash + "0")},
  };
  for (const auto& [field, value] : forgeries) {
    SCOPED_TRACE(std::string(field) + "=" + value.stringValue());
    PlistDict forged = original;
    forged.set(field, value);
    ASSERT_TRUE(store().writeDicTOFile(FileProperty::kStoreFile, forged, "alice"));
    EXPECT_FALSE(store().toCheckFilePropertyWithLocal(a));
  }
  ASSERT_TRUE(store().writeDicTOFile(FileProperty::kStoreFile, original, "alice"));
  EXPECT_TRUE(store().toCheckFilePropertyWithLocal(a));

  // Missing file; another user's records don't count.
  EXPECT_FALSE(store().toCheckFilePropertyWithLocal(doc("nope.png")));
  EXPECT_TRUE(logHas("文件不存在。"));
  setUser("bob");
  EXPECT_FALSE(store().toCheckFilePropertyWithLocal(a));
}

TEST_F(StoreFixture, CheckFillsInOnlyTheFilesOwnRecord) {
  std::string a = writeDoc("ScreenShot/alice/a.png", "12345");
  const std::string sha = *SHA1Help::file_sha1(a);
  // A first-write record (no "hash", empty "sha1") is completed through its own path.
  PlistDict first = rec(a, 5, "");
  first.erase("hash");
  ASSERT_TRUE(store().writeDicTOFile(FileProperty::kStoreFile, first, "alice"));
  // A copy does not complete someone else's record.
  std::string copy = writeDoc("Other/c.png", "12345");
  EXPECT_FALSE(store().toCheckFilePropertyWithLocal(copy));
  EXPECT_FALSE(records()[0].asDict()->contains("hash"));
  auto v = store().toCheckFilePropertyWithLocal(a);
  ASSERT_TRUE(v);
  const PlistDict r = *records()[0].asDict();
  EXPECT_EQ(r.getString("hash"), sha);
  EXPECT_EQ(r.getString("sha1"), FileProperty::keyedDigest(sha, 1000, 5));
  EXPECT_EQ(v->getString("sha1"), r.getString("sha1"));
  // Now complete, it verifies by its keyed digest (and the copy through it).
  EXPECT_TRUE(store().toCheckFilePropertyWithLocal(copy));
}

namespace {
class ReadCountingFileSystem : public FileSystemWrapper {
 public:
  ReadCountingFileSystem(std::atomic<bool>* flag, int trigger)
      : FileSystemWrapper(FileSystem::Default()), flag_(flag), trigger_(trigger) {}
  std::atomic<int> reads{0};
  std::unique_ptr<SequentialFile> openSequential(const std::string& p) override {
    auto inner = target_.openSequential(p);
    if (!inner) return nullptr;
    struct F : SequentialFile {
      std::unique_ptr<SequentialFile> f;
      ReadCountingFileSystem* o;
      int64_t read(char* b, size_t n) override {
        // The cancel arrives (from a stopping task) while this chunk is read.
        if (++o->reads == o->trigger_) o->flag_->store(true);
        return f->read(b, n);
      }
      bool seek(int64_t off) override { return f->seek(off); }
    };
    auto w = std::make_unique<F>();
    w->f = std::move(inner);
    w->o = this;
    return w;
  }
  std::atomic<bool>* flag_;
  int trigger_;
};
}  // namespace

TEST_F(StoreFixture, CancelledCheckLeavesStoreUntouched) {
  std::string big = doc("ScreenShot/alice/big.png");
  { std::ofstream(big).flush(); }
  fs::resize_file(big, 1ull << 30);  // sparse
  // An incomplete record of this very path: a finished check would fill it in.
  PlistDict r = rec(big, 1ll << 30, "");
  ASSERT_TRUE(store().writeDicTOFile(FileProperty::kStoreFile, r, "alice"));
  const std::string before = storeBytes();
  std::atomic<bool> cancel{false};
  ReadCountingFileSystem counting(&cancel, 20);
  std::optional<PlistDict> v;
  {
    ScopedDefault<FileSystem> scope(counting);
    v = store().toCheckFilePropertyWithLocal(big, &cancel);
  }
  EXPECT_FALSE(v);
  EXPECT_EQ(counting.reads.load(), 20);
  EXPECT_EQ(storeBytes(), before);
}

TEST_F(StoreFixture, NoUserMeansNoRecordAndALogLine) {
  quietRegistration();
  fs::remove(container_ + "/Library/com.velmor.userinfo.plist");
  std::string a = writeDoc("ScreenShot/alice/a.png", "x");
  EXPECT_FALSE(store().toSaveFilePropertyAndRegister(a, 8).get());
  EXPECT_FALSE(fs::exists(storePath()));
  EXPECT_TRUE(logHas("日志:没有当前用户"));
  EXPECT_FALSE(store().toCheckFilePropertyWithLocal(a));
  EXPECT_FALSE(store().updateFileProperty("a.png", 1));
  setUser("..");  // unsafe names are no user either
  EXPECT_FALSE(store().toSaveFilePropertyAndRegister(a, 8).get());
  EXPECT_FALSE(fs::exists(storePath()));
  EXPECT_FALSE(store().writeDicTOFile(FileProperty::kStoreFile, rec(a), ""));
  EXPECT_FALSE(store().writeDicTOFile("../escape.plist", rec(a), "alice"));
  EXPECT_FALSE(fs::exists(container_ + "/escape.plist"));
}

TEST_F(StoreFixture, UnhashableFileKeepsFirstRecordAndIsNotRegistered) {
  std::string a = writeDoc("ScreenShot/alice/a.png", "abc");
  class NoOpen : public FileSystemWrapper {
   public:
    NoOpen() : FileSystemWrapper(FileSystem::Default()) {}
    std::unique_ptr<SequentialFile> openSequential(const std::string&) override { return nullptr; }
  } noOpen;
  ThreadsFor registrations(FileProperty::kRegistrationThread, ThreadsFor::Mode::Drop);
  ScopedDefault<Threads> threadsScope(registrations);
  std::shared_future<bool> done;
  {
    ScopedDefault<FileSystem> scope(noOpen);
    done = store().toSaveFilePropertyAndRegister(a, 8);
  }
  EXPECT_FALSE(done.get());
  EXPECT_EQ(registrations.started.load(), 0);
  auto rs = records();
  ASSERT_EQ(rs.size(), 1u);
  EXPECT_EQ(rs[0].asDict()->getString("sha1"), "");
  EXPECT_FALSE(rs[0].asDict()->contains("hash"));
  EXPECT_TRUE(logHas("日志:无法计算文件摘要"));
  EXPECT_FALSE(logHas("日志:本地文件属性创建成功。"));
}

TEST_F(StoreFixture, StoresWrittenByOthersKeepOtherUsers) {
  PlistDict top;
  top.set("root", PlistValue(PlistArray{}));
  top.set("bob", PlistValue(PlistArray{PlistValue(rec("/c/Documents/bob.png"))}));
  top.set("extra", PlistValue("kept"));
  FileSystem::Default().writeAtomically(storePath(), PropertyList::toBinary(PlistValue(top)));
  ASSERT_TRUE(store().writeDicTOFile(FileProperty::kStoreFile, rec(doc("a.png")), "alice"));
  auto v = PropertyList::read(storePath());
  ASSERT_TRUE(v && v->asDict());
  EXPECT_EQ(v->asDict()->getString("extra"), "kept");
  EXPECT_EQ(records("bob").size(), 1u);
  EXPECT_EQ(records("alice").size(), 1u);

  // An unreadable store is kept aside before a new one is started.
  FileSystem::Default().writeAtomically(storePath(), "<plist><dict><key>bob");
  ASSERT_TRUE(store().writeDicTOFile(FileProperty::kStoreFile, rec(doc("a.png")), "alice"));
  EXPECT_EQ(FileSystem::Default().readFile(storePath() + ".unreadable"), "<plist><dict><key>bob");
  EXPECT_EQ(records("alice").size(), 1u);
}

// Writes copy the text of the records they leave alone from the last write:
// the file stays byte for byte what writing the whole store gives.
TEST_F(StoreFixture, EveryWriteGivesTheBytesOfAWholeWrite) {
  quietRegistration();
  const std::vector<std::pair<const char*, std::function<bool()>>> steps = {
      {"first record",
       [&] {
         return store().writeDicTOFile(FileProperty::kStoreFile, rec(doc("a.png")), "alice");
       }},
      {"second",
       [&] {
         return store().writeDicTOFile(FileProperty::kStoreFile, rec(doc("b & <c>.png")), "alice");
       }},
      {"another user",
       [&] { return store().writeDicTOFile(FileProperty::kStoreFile, rec(doc("z.png")), "bob"); }},
      {"replaced, to the end",
       [&] {
         return store().writeDicTOFile(FileProperty::kStoreFile, rec(doc("a.png"), 5), "alice");
       }},
      {"state by name", [&] { return store().updateFileProperty("a.png", 3); }},
      {"field by path",
       [&] {
         return store().updateFilePropertyWithPath(doc("b & <c>.png"), "fileID", PlistValue("srv"));
       }},
      {"a store of many",
       [&] {
         for (int i = 0; i < 40; ++i)
           if (!store().writeDicTOFile(FileProperty::kStoreFile,
                                       rec(doc(std::to_string(i % 25) + ".png"), i), "alice"))
             return false;
         return true;
       }},
  };
  for (const auto& [name, step] : steps) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(step());
    auto v = PropertyList::read(storePath());
    ASSERT_TRUE(v);
    EXPECT_EQ(storeBytes(), *PlistXmlWriter::write(*v));
  }
  EXPECT_EQ(records().size(), 27u);
}

// Another process rewrites the store without changing its size, within the
// same second: in place (one nanosecond later), or by rename with the very
// same modification time. Look-ups see its change, and the next write keeps it.
TEST_F(StoreFixture, CacheSeesARewriteByAnotherProcess) {
  if (std::system("python3 -c 'import os' 2>/dev/null") != 0)
    PREREQUISITE_MISSING("python3 is not available");
  const std::string script = root_ + "/rewrite.py";
  writeFile(script, R"(import os, sys
path, how, state = sys.argv[1], sys.argv[2], sys.argv[3]
st = os.stat(path)
data = open(path, 'rb').read()
old = b'<key>state</key>\n\t\t\t<integer>0</integer>'
at = data.rindex(old)  # the record written last
new = data[:at] + old.replace(b'0', state.encode()) + data[at + len(old):]
assert len(new) == len(data) and new != data
if how == 'in-place':
    with open(path, 'r+b') as f:
        f.write(new)
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 1))
else:
    with open(path + '.new', 'wb') as f:
        f.write(new)
    os.rename(path + '.new', path)
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
)");
  int n = 0;
  for (const char* how : {"in-place", "renamed"}) {
    SCOPED_TRACE(how);
    const std::string a = doc("ScreenShot/alice/a" + std::to_string(n) + ".png");
    ASSERT_TRUE(store().writeDicTOFile(FileProperty::kStoreFile, rec(a), "alice"));
    ASSERT_EQ(store().getFilePropertyWithPath(a)->getInteger("state"), 0);  // cached now
    const std::string state = std::to_string(7 + n++);
    ASSERT_EQ(
        std::system(("python3 " + script + " '" + storePath() + "' " + how + " " + state).c_str()),
        0);
    EXPECT_EQ(store().getFilePropertyWithPath(a)->getInteger("state"), std::stoi(state));
    ASSERT_TRUE(store().writeDicTOFile(FileProperty::kStoreFile, rec(doc("other.png")), "alice"));
    EXPECT_EQ(store().getFilePropertyWithPath(a)->getInteger("state"), std::stoi(state));
    auto v = PropertyList::read(storePath());
    EXPECT_EQ(storeBytes(), *PlistXmlWriter::write(*v));
  }
}

TEST_F(StoreFixture, ConcurrentUpsertsInOneProcessLoseNothing) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 50; ++i)
        store().writeDicTOFile(FileProperty::kStoreFile,
                               rec(doc("t" + std::to_string(t) + "/" + std::to_string(i) + ".png")),
                               "alice");
    });
  }
  // Field updates race with the upserts too.
  threads.emplace_back([this] {
    for (int i = 0; i < 50; ++i) store().updateFileProperty("x.png", 1);
  });
  for (auto& th : threads) th.join();
  EXPECT_EQ(records().size(), 200u);
}

namespace {
// Scripted world of one registration.
struct FakeService {
  std::mutex mu;
  std::deque<std::string> badAddress;  // popped per check; empty = a usable address
  std::vector<std::chrono::milliseconds> waited;
  std::vector<std::string> toasts;
  std::deque<bool> reachable;         // popped per check; empty = reachable
  std::deque<RequestResult> replies;  // popped per post
  std::vector<std::pair<std::string, std::string>> posts;
  int waits = 0, logins = 0;
  // The waits between tries: counted, not slept.
  struct Sleeps : ClockWrapper {
    explicit Sleeps(FakeService& s) : ClockWrapper(Clock::Default()), service(s) {}
    void sleepFor(std::chrono::milliseconds d) override {
      std::lock_guard<std::mutex> l(service.mu);
      ++service.waits;
      service.waited.push_back(d);
    }
    FakeService& service;
  } sleeps{*this};
  ScopedDefault<Clock> clockScope{sleeps};
  struct Toasts : UserInterfaceWrapper {
    explicit Toasts(FakeService& s) : UserInterfaceWrapper(UserInterface::Default()), service(s) {}
    void showToast(const std::string& text, ToastPosition, int) override {
      std::lock_guard<std::mutex> l(service.mu);
      service.toasts.push_back(text);
    }
    FakeService& service;
  } toastsUi{*this};
  ScopedDefault<UserInterface> uiScope{toastsUi};
  FileProperty::RegistrationEnvironment env() {
    FileProperty::RegistrationEnvironment e;
    e.addressProblem = [this]() -> std::optional<std::string> {
      std::lock_guard<std::mutex> l(mu);
      if (badAddress.empty()) return std::nullopt;
      std::string why = badAddress.front();
      badAddress.pop_front();
      return why;
    };
    e.isReachable = [this] {
      std::lock_guard<std::mutex> l(mu);
      if (reachable.empty()) return true;
      bool r = reachable.front();
      reachable.pop_front();
      return r;
    };
    e.post = [this](const std::string& body, const std::string& resource) {
      std::lock_guard<std::mutex> l(mu);
      posts.emplace_back(body, resource);
      RequestResult r = replies.front();
      if (replies.size() > 1) replies.pop_front();
      return r;
    };
    e.autoLogin = [this] {
      std::lock_guard<std::mutex> l(mu);
      ++logins;
      return true;
    };
    return e;
  }
};
}  // namespace

TEST_F(StoreFixture, RegistrationRetriesUntilConfirmed) {
  FakeService svc;
  svc.reachable = {false, false};
  svc.replies = {RequestResult{500, std::nullopt}, RequestResult{200, std::string("not json")},
                 RequestResult{200, std::string(R"({"id":""})")},
                 RequestResult{401, std::string(R"({"error":"expired"})")},
                 RequestResult{200, std::string(R"({"id":"reg-7","x":1})")}};
  FileProperty::setRegistrationEnvironmentForTesting(svc.env());  // a real thread
  std::string a = writeDoc("ScreenShot/alice/a.png", "shot");
  auto done = store().toSaveFilePropertyAndRegister(a, 8);
  ASSERT_EQ(done.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_TRUE(done.get());
  const PlistDict r = *records()[0].asDict();
  std::lock_guard<std::mutex> l(svc.mu);
  ASSERT_EQ(svc.posts.size(), 5u);
  const std::string body = "hash=" + r.getString("hash") + "&sha1=" + r.getString("sha1") +
                           "&time=" + std::to_string(r.getInteger("time")) + "&size=4";
  for (auto& [b, res] : svc.posts) {
    EXPECT_EQ(b, body);
    EXPECT_EQ(res, "file/safe.json");
  }
  EXPECT_EQ(svc.logins, 4);
  EXPECT_EQ(svc.waits, 2 + 4);
  EXPECT_EQ(logCount("重试创建属性:"), 2);
  EXPECT_EQ(logCount("日志:{\"code\":"), 5);
  EXPECT_TRUE(logHas(R"(日志:{"code":200,"respone":"{\"id\":\"reg-7\",\"x\":1}"})"));
}

TEST_F(StoreFixture, RegistrationWaitsLongerAndLongerForAnAddressAndSaysSoOnce) {
  FakeService svc;
  svc.badAddress.assign(9, "com.velmor.loacal.plist can't be read");
  svc.replies = {RequestResult{200, std::string(R"({"id":"reg-1"})")}};
  ThreadsFor inline_(FileProperty::kRegistrationThread, ThreadsFor::Mode::Inline);
  ScopedDefault<Threads> threadsScope(inline_);
  FileProperty::setRegistrationEnvironmentForTesting(svc.env());
  EXPECT_TRUE(store().toSaveFileProperty(writeDoc("ScreenShot/alice/a.png", "shot"), 8));
  using std::chrono::milliseconds;
  EXPECT_EQ(svc.waited, (std::vector<milliseconds>{
                            milliseconds(2000), milliseconds(4000), milliseconds(8000),
                            milliseconds(16000), milliseconds(32000), milliseconds(64000),
                            milliseconds(128000), milliseconds(256000), milliseconds(300000)}));
  EXPECT_EQ(svc.posts.size(), 1u);  // once the address reads again
  EXPECT_EQ(logCount("日志:存证服务地址无法读取, 登记暂停 (com.velmor.loacal.plist can't be read)"),
            1);
  EXPECT_EQ(logCount("重试创建属性"), 0);
  EXPECT_EQ(svc.toasts, (std::vector<std::string>{"存证服务地址无法读取，截屏已保存在本机但暂不能"
                                                  "登记：请在Sorelle客户端中重新设置服务地址"}));
}

TEST_F(StoreFixture, RegistrationAcceptsNumericIdAndCreateFilePropertyUsesTheFileRecord) {
  FakeService svc;
  svc.replies = {RequestResult{200, std::string(R"({"id":42})")}};
  ThreadsFor inline_(FileProperty::kRegistrationThread, ThreadsFor::Mode::Inline);
  ScopedDefault<Threads> threadsScope(inline_);
  FileProperty::setRegistrationEnvironmentForTesting(svc.env());
  File f;
  f.setFPath(writeDoc("ScreenShot/alice/f.png", "file"));
  f.setFtype(FileKind::Picture);
  EXPECT_TRUE(store().createFileProperty(f));
  EXPECT_EQ(inline_.started.load(), 1);
  EXPECT_EQ(svc.posts.size(), 1u);
  EXPECT_EQ(records()[0].asDict()->getInteger("type"), 9);
  File none;
  EXPECT_FALSE(store().createFileProperty(none));  // no path: nothing
  EXPECT_EQ(inline_.started.load(), 1);
}
