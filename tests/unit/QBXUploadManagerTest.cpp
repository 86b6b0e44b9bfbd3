// The upload manager and its tasks against an in-process service (plain HTTP
// on 127.0.0.1): list handling, skips, messages, notifications, the queue.
// ctest-labels: threaded (run under ThreadSanitizer by make test-tsan)
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <any>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "AppURL.h"
#include "FileProperty/FileProperty.h"
#include "Platform/Files/PropertyList.h"
#include "Platform/Loop/NotificationCenter.h"
#include "Platform/Loop/RunLoop.h"
#include "Platform/Process/Clock.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "Platform/UI/UserInterface.h"
#include "QBXUploadManager/QBXUploadManager.h"
#include "QBXUploadManager/UploadRetry.h"
#include "Request/Z_Request.h"
#include "ScreenShotManager/ScreenShotManager.h"
#include "TestSupport.h"

using namespace quillbox;
using namespace quillbox::platform;
namespace fs = std::filesystem;

namespace {

// A service with the three upload resources; what it saw is kept in order.
class FakeService {
 public:
  FakeService() {
    server_.Post(
        "/3/file/create.json", [this](const httplib::Request& req, httplib::Response& res) {
          std::string name = req.get_param_value("name");
          std::unique_lock<std::mutex> lock(mu_);
          // A held name is answered once the test lets it go (a minute at
          // most, so that a broken test cannot hang).
          if (heldNames.count(name))
            released_.wait_for(lock, std::chrono::seconds(60), [this] { return releasedAll_; });
          events_.push_back("create " + name);
          if (failNames.count(name) || failOnce("create " + name)) {
            res.status = 500;
            return;
          }
          std::string id = "id" + std::to_string(++nextId_);
          names_[id] = name;
          res.set_content("{\"id\":\"" + id + "\"}", "application/json");
        });
    server_.Get("/3/file/length.json", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard<std::mutex> lock(mu_);
      std::string id = req.get_param_value("id");
      events_.push_back("length " + names_[id]);
      res.set_content("{\"length\":" + std::to_string(held_[id]) + "}", "application/json");
    });
    server_.Post(
        "/3/file/upload.json", [this](const httplib::Request& req, httplib::Response& res) {
          std::lock_guard<std::mutex> lock(mu_);
          std::string id = req.get_param_value("id");
          events_.push_back("upload " + names_[id] + " index=" + req.get_param_value("index") +
                            " bytes=" + std::to_string(req.body.size()));
          if (failOnce("upload " + names_[id])) {
            res.status = 500;
            return;
          }
          held_[id] += static_cast<int64_t>(req.body.size());
          bodies_[id] += req.body;
          res.set_content("{}", "application/json");
        });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~FakeService() {
    release();
    server_.stop();
    thread_.join();
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_) + "/3/"; }
  std::vector<std::string> events() {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }
  size_t count(const std::string& prefix) {
    size_t n = 0;
    for (const auto& e : events())
      if (e.rfind(prefix, 0) == 0) ++n;
    return n;
  }
  // Set before the requests arrive.
  std::set<std::string> failNames, heldNames;
  // "create NAME" / "upload NAME": the next so many of these requests fail (500).
  std::map<std::string, int> failNext;
  // Answers the creation requests of heldNames (those waiting and those to come).
  void release() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      releasedAll_ = true;
    }
    released_.notify_all();
  }
  // The service already holds `bytes` of the file `id`.
  void hold(const std::string& id, const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mu_);
    held_[id] = static_cast<int64_t>(bytes.size());
    bodies_[id] = bytes;
  }
  std::string body(const std::string& id) {
    std::lock_guard<std::mutex> lock(mu_);
    return bodies_[id];
  }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable released_;
  bool releasedAll_ = false;
  std::vector<std::string> events_;
  std::map<std::string, std::string> names_;
  std::map<std::string, int64_t> held_;
  std::map<std::string, std::string> bodies_;
  int nextId_ = 0;
  // REQUIRES: mu_ held.
  bool failOnce(const std::string& request) {
    auto it = failNext.find(request);
    if (it == failNext.end() || it->second == 0) return false;
    --it->second;
    return true;
  }
};

// The waits between upload tries: recorded, not slept.
class RecordedWaits : public ClockWrapper {
 public:
  RecordedWaits() : ClockWrapper(Clock::Default()) {}
  void sleepFor(std::chrono::milliseconds d) override {
    std::lock_guard<std::mutex> lock(mu_);
    waits_.push_back(std::chrono::duration_cast<std::chrono::seconds>(d).count());
  }
  std::vector<int64_t> waits() {
    std::lock_guard<std::mutex> lock(mu_);
    return waits_;
  }

 private:
  std::mutex mu_;
  std::vector<int64_t> waits_;
};

// Records status-bar messages; everything else is dropped.
class RecordingUI : public UserInterface {
 public:
  void showToast(const std::string&, ToastPosition, int) override {}
  void showAlert(std::shared_ptr<AlertView> alert) override {
    std::lock_guard<std::mutex> lock(mu_);
    alerts_.push_back(std::move(alert));
  }
  void showStatusBarMessage(const std::string& text, StatusBarKind kind, int durationMs,
                            bool animated) override {
    std::lock_guard<std::mutex> lock(mu_);
    messages_.push_back((kind == StatusBarKind::Plain ? "plain:" : "finished:") + text);
    EXPECT_EQ(durationMs, 2000);
    EXPECT_TRUE(animated);
  }
  void openURL(const std::string&) override {}
  void setIdleTimerDisabled(bool disabled) override { idleDisabled = disabled; }
  std::vector<std::string> messages() {
    std::lock_guard<std::mutex> lock(mu_);
    return messages_;
  }
  std::vector<std::shared_ptr<AlertView>> alerts() {
    std::lock_guard<std::mutex> lock(mu_);
    return alerts_;
  }
  std::atomic<bool> idleDisabled{false};

 private:
  std::mutex mu_;
  std::vector<std::string> messages_;
  std::vector<std::shared_ptr<AlertView>> alerts_;
};

class QBXUploadManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(RunLoop::isMainThread());
    char tmpl[] = "/tmp/qb-upmgr.XXXXXX";
    root_ = mkdtemp(tmpl);
    container_ = root_ + "/Applications/0A1B2C3D-0000-4000-8000-0000000000BB";
    fs::create_directories(container_ + "/quillbox.app");
    fs::create_directories(container_ + "/Library");
    fs::create_directories(root_ + "/home");
    settings_.set("QUILLBOX_HOME", root_ + "/home");
    containerScope_.set(container_);
    setUserInfo("alice", 0);
    PlistDict local;
    local.set("url", PlistValue(service_.base()));
    ASSERT_TRUE(
        PropertyList::write(container_ + "/Library/com.velmor.loacal.plist", PlistValue(local)));
    observer_ = NotificationCenter::Default().addObserver("", [this](const Notification& n) {
      std::lock_guard<std::mutex> lock(noteMu_);
      notes_.push_back(n.name);
    });
    manager().resetForTesting();
    QBXUploadManager::setWidgetMode(false);
  }
  void TearDown() override {
    // Let every task end before the service and the container go away.
    runUntil([this] {
      return manager().aTasksWillUpload().empty() && QBXUploadTask::activeUploadThreads() == 0;
    });
    UploadRetry::shared().resetForTesting();
    manager().resetForTesting();
    QBXUploadManager::setWidgetMode(false);
    NotificationCenter::Default().removeObserver(observer_);
    fs::remove_all(root_);
  }

  static QBXUploadManager& manager() { return QBXUploadManager::sharedInstance(); }

  void setUserInfo(const std::string& name, int level) {
    PlistDict info;
    info.set("userName", PlistValue(name));
    info.set("userlevel", PlistValue::integer(level));
    ASSERT_TRUE(
        PropertyList::write(container_ + "/Library/com.velmor.userinfo.plist", PlistValue(info)));
  }
  FilePtr record(const std::string& name, size_t size = 1000) {
    std::string path = container_ + "/Documents/ScreenShot/alice/" + name;
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << std::string(size, 'q');
    auto f = std::make_shared<File>();
    f->setName(name);
    f->setFPath(path);
    f->setFLen(std::to_string(size));
    f->setFtype(FileKind::Screenshot);
    f->setFHash(std::string(40, 'c'));
    return f;
  }
  // Runs the main loop until `done` holds (bounded; the test then checks).
  bool runUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 6000 && !done(); ++i) RunLoop::main().runFor(std::chrono::milliseconds(10));
    return done();
  }
  size_t notes(const std::string& name) {
    std::lock_guard<std::mutex> lock(noteMu_);
    size_t n = 0;
    for (const auto& x : notes_)
      if (x == name) ++n;
    return n;
  }
  size_t allNotes() {
    std::lock_guard<std::mutex> lock(noteMu_);
    return notes_.size();
  }
  size_t messagesWith(const std::string& needle) {
    size_t n = 0;
    for (const auto& m : ui_.messages())
      if (m.find(needle) != std::string::npos) ++n;
    return n;
  }
  std::vector<std::string> events() { return service_.events(); }

  FakeService service_;
  RecordingUI ui_;
  ScopedDefault<UserInterface> uiScope_{ui_};
  std::string root_, container_;
  ScopedSettings settings_;
  ScopedContainer containerScope_;
  uint64_t observer_ = 0;
  std::mutex noteMu_;
  std::vector<std::string> notes_;
};

}  // namespace

TEST_F(QBXUploadManagerTest, AnEmptyBatchPostsAndShowsNothing) {
  manager().startUploadWithFiles({});
  // Whatever the call handed to the main loop runs before this marker.
  bool marker = false;
  RunLoop::main().perform([&] { marker = true; });
  ASSERT_TRUE(runUntil([&] { return marker; }));
  EXPECT_EQ(allNotes(), 0u);
  EXPECT_TRUE(ui_.messages().empty());
  EXPECT_EQ(manager().getUploadCount(), 0);
  EXPECT_TRUE(events().empty());
}

TEST_F(QBXUploadManagerTest, ABatchRecordUploadsWithOneAddedAndOneFinishedMessageCountingZero) {
  FilePtr f = record("a.png");
  manager().startUploadWithFiles({f, f});  // the same record twice is queued once
  EXPECT_EQ(manager().aTasksWillUpload().size(), 1u);
  ASSERT_TRUE(runUntil([&] { return messagesWith("上传完成") == 1; }));
  EXPECT_EQ(ui_.messages(),
            (std::vector<std::string>{"plain:添加 1 个任务到上传队列！    上传任务总数:0",
                                      "finished:有 1 个任务上传完成!    剩余任务数:0"}));
  EXPECT_EQ(events(), (std::vector<std::string>{"create a.png", "length a.png",
                                                "upload a.png index=0 bytes=1000"}));
  EXPECT_EQ(notes("createFileOnServerSuccess"), 1u);
  EXPECT_GE(notes("upload"), 2u);  // progress and finish
  EXPECT_EQ(f->fileState(), FileState::Finished);
  EXPECT_EQ(f->fProgress(), std::optional<std::string>("1.000000"));
  EXPECT_EQ(f->uploadedSize(), std::optional<int64_t>(1000));
  // A finished file stays in aTasksUploading (not queued again) but no longer
  // keeps the screen awake.
  EXPECT_EQ(manager().aTasksUploading().size(), 1u);
  EXPECT_FALSE(ui_.idleDisabled);

  manager().startUploadWithFiles({f});
  EXPECT_TRUE(manager().aTasksWillUpload().empty());
  EXPECT_EQ(notes("createFileOnServerSuccess"), 2u);  // nothing queued, something skipped
}

TEST_F(QBXUploadManagerTest, TheSkipDecisionIsMadePerRecord) {
  FilePtr started = record("started.png");
  auto t = QBXUploadTask::create();
  started->setFileState(FileState::Started);  // as left by a process that ended while starting
  t->setFile(started);
  t->writeFileUpInfoToFile();
  FilePtr other = record("other.png");
  manager().startUploadWithFiles({started, other});
  ASSERT_EQ(manager().aTasksWillUpload().size(), 1u);
  EXPECT_EQ(manager().aTasksWillUpload()[0]->file(), other);
  ASSERT_TRUE(runUntil([&] { return messagesWith("上传完成") == 1; }));
  EXPECT_EQ(service_.count("create started.png"), 0u);
  EXPECT_EQ(service_.count("upload other.png"), 1u);
}

TEST_F(QBXUploadManagerTest, PreparedTasksStartWhenTheLastPreparationFails) {
  service_.failNames = {"bad.png"};
  service_.heldNames = {"bad.png"};  // fails after good.png has been prepared
  FilePtr good = record("good.png"), bad = record("bad.png");
  std::optional<Notification> failNote;
  uint64_t id = NotificationCenter::Default().addObserver(
      "createFileOnServerFail", [&](const Notification& n) { failNote = n; });
  manager().startUploadWithFiles({good, bad});
  ASSERT_TRUE(runUntil([&] { return manager().aTasksCreated().size() == 1; }));
  service_.release();
  ASSERT_TRUE(runUntil([&] { return messagesWith("上传完成") == 1; }));
  NotificationCenter::Default().removeObserver(id);
  EXPECT_EQ(service_.count("upload good.png"), 1u);
  EXPECT_EQ(notes("createFileOnServerFail"), 1u);
  // No object; "reason" and "Task" (the task itself) in the user information.
  ASSERT_TRUE(failNote);
  EXPECT_FALSE(failNote->object.has_value());
  EXPECT_FALSE(failNote->userInfo.getString("reason").empty());
  auto task = std::any_cast<QBXUploadTaskPtr>(failNote->userObjects.at("Task"));
  EXPECT_EQ(task->file(), bad);
  EXPECT_EQ(bad->fileState(), FileState::Stopped);
  EXPECT_TRUE(manager().aTasksWillUpload().empty());
  EXPECT_TRUE(manager().aTasksCreated().empty());
}

TEST_F(QBXUploadManagerTest, ATaskThatFailedToStartWhileABatchPreparesIsNotStartedAgain) {
  service_.heldNames = {"slow.png"};
  manager().startUploadWithFiles({record("slow.png")});
  // A prepared single-file task without a file id: its own start fails.
  FilePtr lone = record("lone.png");
  auto task = QBXUploadTask::create();
  task->setFile(lone);
  task->setDelegate(&manager());
  manager().createFileOnServerSuccess(task);  // the batch is still preparing: not started
  ASSERT_FALSE(task->startUpload());
  manager().uploadFailed(task->failureReason(), task);
  EXPECT_TRUE(manager().aTasksCreated().empty());
  service_.release();
  ASSERT_TRUE(runUntil([&] { return messagesWith("上传完成") == 1; }));
  EXPECT_EQ(messagesWith("\"lone.png\"上传失败!"), 1u);
  EXPECT_EQ(service_.count("upload lone.png"), 0u);
}

TEST_F(QBXUploadManagerTest, IsCanUpLoadFollowsTheUserLevel) {
  service_.failNames = {};
  for (int i = 0; i < 25; ++i) service_.failNames.insert("f" + std::to_string(i) + ".png");
  std::vector<FilePtr> files;
  auto add = [&](int n) {
    std::vector<FilePtr> batch;
    for (int i = 0; i < n; ++i) {
      files.push_back(record("f" + std::to_string(files.size()) + ".png", 10));
      batch.push_back(files.back());
    }
    manager().startUploadWithFiles(batch);  // all preparing until the loop runs
  };
  add(3);
  EXPECT_TRUE(manager().isCanUpLoad());
  add(1);
  EXPECT_EQ(manager().getUploadCount(), 4);
  EXPECT_FALSE(manager().isCanUpLoad());  // level 0: from 4 on
  setUserInfo("alice", 2);
  EXPECT_TRUE(manager().isCanUpLoad());
  add(6);
  EXPECT_TRUE(manager().isCanUpLoad());  // 10
  add(1);
  EXPECT_FALSE(manager().isCanUpLoad());  // 11
  setUserInfo("alice", 4);
  EXPECT_TRUE(manager().isCanUpLoad());
  add(10);
  EXPECT_FALSE(manager().isCanUpLoad());  // 21
  ASSERT_TRUE(runUntil([&] { return manager().getUploadCount() == 0; }));
  EXPECT_EQ(notes("createFileOnServerFail"), 1u);  // once, when the last one failed
  EXPECT_TRUE(ui_.messages().empty());             // preparation failures show nothing
}

TEST_F(QBXUploadManagerTest, TheSingleFileQueueUploadsOneAfterAnother) {
  FilePtr a = record("qa.png", 3000), b = record("qb.png", 2000);
  manager().startUploadWithFile(a, false);
  manager().startUploadWithFile(b, false);
  manager().startUploadWithFile(b, false);  // already queued
  EXPECT_EQ(manager().aTask().size(), 2u);
  EXPECT_EQ(b->fileState(), FileState::Waiting);
  ASSERT_TRUE(runUntil([&] { return messagesWith("上传完成") == 2; }));
  EXPECT_EQ(events(), (std::vector<std::string>{
                          "create qa.png", "length qa.png", "upload qa.png index=0 bytes=3000",
                          "create qb.png", "length qb.png", "upload qb.png index=0 bytes=2000"}));
  EXPECT_EQ(ui_.messages(),
            (std::vector<std::string>{"plain:添加 1 个任务到上传队列！    上传任务总数:2",
                                      "finished:有 1 个任务上传完成!    剩余任务数:1",
                                      "plain:添加 1 个任务到上传队列！    上传任务总数:1",
                                      "finished:有 1 个任务上传完成!    剩余任务数:0"}));
  EXPECT_TRUE(manager().aTask().empty());
}

TEST_F(QBXUploadManagerTest, ARecordWithAFileIdResumesWithoutCreation) {
  FilePtr a = record("known.png", 4000);
  a->setFileID(std::string("id-known"));
  manager().startUploadWithFiles({a});
  ASSERT_TRUE(runUntil([&] { return messagesWith("上传完成") == 1; }));
  EXPECT_EQ(events(), (std::vector<std::string>{"length ", "upload  index=0 bytes=4000"}));
}

TEST_F(QBXUploadManagerTest, AResumedUploadSendsTheFileFromTheHeldLength) {
  FilePtr a = record("resume.png", 0);
  std::string bytes;
  for (int i = 0; i < 700000; ++i) bytes += static_cast<char>('a' + (i * 7 + i / 251) % 26);
  std::ofstream(*a->fPath(), std::ios::binary) << bytes;
  a->setFLen(std::to_string(bytes.size()));
  a->setFileID(std::string("id-r"));
  service_.hold("id-r", bytes.substr(0, 300001));
  manager().startUploadWithFiles({a});
  ASSERT_TRUE(runUntil([&] { return messagesWith("上传完成") == 1; }));
  EXPECT_EQ(service_.count("upload  index=300001 bytes=399999"), 1u);
  EXPECT_TRUE(service_.body("id-r") == bytes);  // the rest, byte for byte, after what it held
  EXPECT_EQ(a->uploadedSize(), std::optional<int64_t>(bytes.size()));
}

TEST_F(QBXUploadManagerTest, WidgetTextsAndStopOfAnUnknownPath) {
  QBXUploadManager::setWidgetMode(true);
  manager().stopUploadWithPath("/nowhere/x.png");
  EXPECT_TRUE(ui_.messages().empty());
  manager().startUploadWithFiles({record("w.png")});
  ASSERT_TRUE(runUntil([&] { return messagesWith("上传完成") == 1; }));
  EXPECT_EQ(ui_.messages(), (std::vector<std::string>{"plain:添加 1 个任务到上传队列！",
                                                      "finished:有 1 个任务上传完成!"}));
}

TEST_F(QBXUploadManagerTest, AStoppedQueuedFileLetsTheNextOneStart) {
  FilePtr a = record("sa.png"), b = record("sb.png");
  manager().startUploadWithFile(a, false);
  manager().startUploadWithFile(b, false);
  manager().stopUploadWithPath(*a->fPath());
  EXPECT_EQ(ui_.messages().at(0), "finished:\"sa.png\"上传停止!");
  EXPECT_EQ(a->fileState(), FileState::Stopped);
  ASSERT_TRUE(runUntil([&] { return messagesWith("上传完成") == 1; }));
  EXPECT_EQ(service_.count("upload sb.png"), 1u);
  EXPECT_EQ(service_.count("upload sa.png"), 0u);
}

TEST_F(QBXUploadManagerTest, AResumeOffsetPastTheEndOfTheFileFailsWithAReason) {
  FilePtr a = record("short.png", 100);
  a->setFileID(std::string("id-x"));
  std::string reason;
  manager().setEventHandler([&](const UploadEvent& e) {
    if (e.kind == UploadEvent::Kind::Failed) reason = e.reason;
  });
  auto task = QBXUploadTask::create();
  task->setFile(a);
  task->setDelegate(&manager());
  a->setUploadedSize(500);  // the service claims more than the file holds
  EXPECT_TRUE(task->startUpload());
  ASSERT_TRUE(runUntil([&] { return !reason.empty(); }));
  EXPECT_EQ(messagesWith("\"short.png\"上传失败!"), 1u);
  EXPECT_EQ(service_.count("upload"), 0u);
  EXPECT_EQ(a->fileState(), FileState::Stopped);
}

// "存证" on an older evidence prompt, answered after a newer one was shown,
// uploads the older screenshot: each prompt answers for its own file.
TEST_F(QBXUploadManagerTest, AnEvidencePromptUploadsItsOwnScreenshotAfterANewerOneWasShown) {
  PlistDict client;
  client.set("CFBundleVersion", PlistValue("1.4.0"));  // past the upload gate
  ASSERT_TRUE(PropertyList::write(container_ + "/quillbox.app/Info.plist", PlistValue(client)));
  FilePtr older = record("older.png"), newer = record("newer.png");
  for (const FilePtr& f : {older, newer})
    ASSERT_TRUE(FileProperty::sharedFileProperty().toSaveFilePropertyWithoutRegistration(
        *f->fPath(), FileKind::Screenshot));
  ScreenShotManager& shots = ScreenShotManager::sharedManager();
  shots.showUploadAlert("older.png", *older->fPath());
  shots.showUploadAlert("newer.png", *newer->fPath());
  ASSERT_EQ(ui_.alerts().size(), 2u);
  ui_.alerts()[0]->deliverAnswer(1, "user");
  ASSERT_TRUE(runUntil([&] { return messagesWith("上传完成") == 1; }));
  EXPECT_EQ(service_.count("create older.png"), 1u);
  EXPECT_EQ(service_.count("create newer.png"), 0u);
}

// A confirmed file whose upload fails comes back after 2 s, then 4 s, ...,
// until the service has it; the person sees its first failure only.
TEST_F(QBXUploadManagerTest, AFailedUploadComesBackWithLongerWaitsUntilTheServiceHasIt) {
  RecordedWaits clock;
  ScopedDefault<Clock> clockScope(clock);
  std::vector<std::string> log;
  std::mutex logMu;
  Log::setSinkForTesting([&](const std::string& line) {
    std::lock_guard<std::mutex> lock(logMu);
    log.push_back(line);
  });
  UploadRetry::shared().enable();
  FilePtr f = record("back.png");
  ASSERT_TRUE(FileProperty::sharedFileProperty().toSaveFilePropertyWithoutRegistration(
      *f->fPath(), FileKind::Screenshot));
  service_.failNext["upload back.png"] = 2;
  manager().startUploadWithFiles({QBXUploadManager::getFileWillUploadWithPath(*f->fPath(), 8)});
  ASSERT_TRUE(runUntil([&] { return messagesWith("上传完成") == 1; }));
  Log::setSinkForTesting(nullptr);
  EXPECT_EQ(clock.waits(), (std::vector<int64_t>{2, 4}));
  EXPECT_EQ(messagesWith("\"back.png\"上传失败!"), 1u);
  EXPECT_EQ(service_.count("create back.png"), 1u);  // later tries resume with its id
  EXPECT_EQ(service_.count("upload back.png"), 3u);
  EXPECT_EQ(service_.body("id1"), std::string(1000, 'q'));
  EXPECT_FALSE(UploadRetry::shared().isRetrying(*f->fPath()));
  auto upinfo = Z_Request::getUpInfoWithPath(*f->fPath());
  ASSERT_TRUE(upinfo);
  EXPECT_EQ(upinfo->getInteger("state"), FileState::Finished);
  std::lock_guard<std::mutex> lock(logMu);
  EXPECT_EQ(std::count(log.begin(), log.end(),
                       "日志:上传未完成, 2 秒后重试: " + *f->fPath() + " (上传失败 (HTTP 500))"),
            1);
}

// At start the files a previous run confirmed and did not finish start again:
// neither those it finished nor those left "being started", and a file
// changed since is given up.
TEST_F(QBXUploadManagerTest, UnfinishedUploadsOfAnEarlierRunResume) {
  RecordedWaits clock;
  ScopedDefault<Clock> clockScope(clock);
  struct Case {
    const char* name;
    int32_t state;
    bool changed;
    bool resumed;
  };
  const Case cases[] = {{"failed.png", FileState::Stopped, false, true},
                        {"cut.png", FileState::Uploading, false, true},
                        {"done.png", FileState::Finished, false, false},
                        {"starting.png", FileState::Started, false, false},
                        {"changed.png", FileState::Waiting, true, false}};
  for (const Case& c : cases) {
    FilePtr f = record(c.name);
    ASSERT_TRUE(FileProperty::sharedFileProperty().toSaveFilePropertyWithoutRegistration(
        *f->fPath(), FileKind::Screenshot));
    f->setFileState(c.state);
    auto t = QBXUploadTask::create();
    t->setFile(f);
    t->writeFileUpInfoToFile();
    if (c.changed) std::ofstream(*f->fPath(), std::ios::binary) << std::string(1000, 'z');
  }
  UploadRetry::shared().enable();
  EXPECT_EQ(UploadRetry::shared().resumePending(), 3);
  ASSERT_TRUE(runUntil([&] { return messagesWith("上传完成") == 2; }));
  for (const Case& c : cases)
    EXPECT_EQ(service_.count(std::string("upload ") + c.name), c.resumed ? 1u : 0u) << c.name;
  EXPECT_FALSE(
      UploadRetry::shared().isRetrying(container_ + "/Documents/ScreenShot/alice/changed.png"));
  EXPECT_TRUE(clock.waits().empty());
}
