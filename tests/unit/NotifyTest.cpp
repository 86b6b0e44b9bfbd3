// In-process notifications (NotificationCenter) and system-wide ones
// (DarwinNotifyCenter), the latter also between processes.
// ctest-labels: threaded (run under ThreadSanitizer by make test-tsan)
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Loop/DarwinNotifyCenter.h"
#include "Platform/Loop/NotificationCenter.h"
#include "Platform/Loop/RunLoop.h"
#include "Platform/Process/Environment.h"
#include "TestSupport.h"

namespace quillbox::platform {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
constexpr milliseconds kPatience{30000};

// ---- in-process ----------------------------------------------------------

TEST(NotifyTest, InProcessDeliveryIsSynchronousInOrderAndByName) {
  NotificationCenter nc;
  std::vector<std::string> seen;
  nc.addObserver("upload", [&](const Notification& n) { seen.push_back("a:" + n.name); });
  nc.addObserver("", [&](const Notification& n) { seen.push_back("all:" + n.name); });
  nc.addObserver("upload", [&](const Notification& n) { seen.push_back("b:" + n.name); });
  nc.addObserver("updateUser", [&](const Notification& n) { seen.push_back("u:" + n.name); });

  nc.post("upload");
  EXPECT_EQ(seen, (std::vector<std::string>{"a:upload", "all:upload", "b:upload"}));
  seen.clear();
  nc.post("createFileOnServerSuccess");
  EXPECT_EQ(seen, (std::vector<std::string>{"all:createFileOnServerSuccess"}));
}

TEST(NotifyTest, InProcessCarriesObjectAndUserInfoOnThePostingThread) {
  NotificationCenter nc;
  std::thread::id where;
  int object = 0;
  std::string reason;
  nc.addObserver("createFileOnServerFail", [&](const Notification& n) {
    where = std::this_thread::get_id();
    object = std::any_cast<int>(n.object);
    reason = n.userInfo.getString("reason");
  });
  PlistDict info;
  info.set("reason", PlistValue("网络不可用"));
  std::thread poster([&] { nc.post("createFileOnServerFail", 7, info); });
  std::thread::id posterId = poster.get_id();
  poster.join();
  EXPECT_EQ(where, posterId);
  EXPECT_EQ(object, 7);
  EXPECT_EQ(reason, "网络不可用");
}

TEST(NotifyTest, InProcessRemovalDuringAndBetweenPosts) {
  NotificationCenter nc;
  std::vector<std::string> seen;
  uint64_t second = 0, late = 0;
  nc.addObserver("x", [&](const Notification&) {
    seen.push_back("first");
    nc.removeObserver(second);  // removed before its turn in this very post
    if (!late) late = nc.addObserver("x", [&](const Notification&) { seen.push_back("late"); });
  });
  second = nc.addObserver("x", [&](const Notification&) { seen.push_back("second"); });
  nc.post("x");
  EXPECT_EQ(seen, (std::vector<std::string>{"first"}));  // added during the post: not this one
  seen.clear();
  nc.post("x");
  EXPECT_EQ(seen, (std::vector<std::string>{"first", "late"}));
  seen.clear();
  nc.removeObserver(late);
  nc.removeObserver(late);  // twice: ignored
  nc.post("x");
  EXPECT_EQ(seen, (std::vector<std::string>{"first"}));
}

TEST(NotifyTest, InProcessConcurrentPostsAndRemovals) {
  NotificationCenter nc;
  std::atomic<int> calls{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        uint64_t id = nc.addObserver("n", [&](const Notification&) { ++calls; });
        nc.post("n");
        nc.removeObserver(id);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_GE(calls.load(), 800);  // each post reaches at least its own observer
}

// ---- system-wide ---------------------------------------------------------

class DarwinNotifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(RunLoop::isMainThread());
    char tmpl[] = "/tmp/quillbox-notify-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    dir_ = root_ + "/rendezvous";
    settings_.set("QUILLBOX_NOTIFY_DIR", dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  std::vector<std::string> socketsFor(const std::string& name) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(dir_, ec)) {
      std::string f = e.path().filename().string();
      if (f.rfind(DarwinNotifyCenter::socketPrefix(name), 0) == 0) out.push_back(f);
    }
    return out;
  }
  // Runs the main loop until `done` or the patience runs out.
  void runUntil(const std::function<bool()>& done) {
    auto until = std::chrono::steady_clock::now() + kPatience;
    while (!done() && std::chrono::steady_clock::now() < until) {
      RunLoop::main().runFor(milliseconds(10));
    }
  }
  std::string root_, dir_;
  ScopedSettings settings_;
};

TEST_F(DarwinNotifyTest, PostReachesObserversOfTheNameOnTheMainLoop) {
  DarwinNotifyCenter center;
  std::vector<std::string> got;
  bool onMain = true;
  uint64_t a =
      center.addObserver("com.velmor.quillbox.server.screenshot", [&](const std::string& n) {
        got.push_back(n);
        onMain = onMain && RunLoop::isMainThread();
      });
  uint64_t b = center.addObserver("other.name", [&](const std::string& n) { got.push_back(n); });
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);

  struct stat st;
  ASSERT_EQ(::stat(dir_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // Posted from a worker thread; delivered on the main loop.
  std::thread poster([&] { EXPECT_TRUE(center.post("com.velmor.quillbox.server.screenshot")); });
  poster.join();
  runUntil([&] { return !got.empty(); });
  // A second post arrives after anything the first one brought (one socket,
  // in order): two deliveries for two posts.
  EXPECT_TRUE(center.post("com.velmor.quillbox.server.screenshot"));
  runUntil([&] { return got.size() >= 2; });
  EXPECT_EQ(got, (std::vector<std::string>(2, "com.velmor.quillbox.server.screenshot")));
  EXPECT_TRUE(onMain);

  // Zero observers is still a post; the poster learns that nobody heard it.
  int delivered = -1;
  EXPECT_TRUE(center.post("nobody.listens", &delivered));
  EXPECT_EQ(delivered, 0);
  EXPECT_TRUE(center.post("other.name", &delivered));
  EXPECT_EQ(delivered, 1);
  runUntil([&] { return got.size() >= 3; });
  got.pop_back();
  center.removeObserver(a);
  EXPECT_TRUE(socketsFor("com.velmor.quillbox.server.screenshot").empty());
  center.post("com.velmor.quillbox.server.screenshot");
  center.post("other.name");  // the one observer left hears its own name only
  runUntil([&] { return got.size() >= 3; });
  EXPECT_EQ(got.back(), "other.name");
  EXPECT_EQ(got.size(), 3u);
  center.removeObserver(b);
}

TEST_F(DarwinNotifyTest, PostFromAnotherProcessIsDelivered) {
  DarwinNotifyCenter center;
  int count = 0;
  ASSERT_NE(center.addObserver("cross.process", [&](const std::string&) { ++count; }), 0u);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    DarwinNotifyCenter poster;
    bool ok = poster.post("cross.process") && poster.post("cross.process");
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  runUntil([&] { return count >= 2; });
  EXPECT_EQ(count, 2);
}

TEST_F(DarwinNotifyTest, SocketsOfEndedProcessesAreRemovedOnPost) {
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(p[0]);
    DarwinNotifyCenter observer;
    uint64_t id = observer.addObserver("stale.name", [](const std::string&) {});
    char ok = id ? 'y' : 'n';
    (void)!::write(p[1], &ok, 1);
    ::pause();  // killed below, so the socket stays behind
    ::_exit(0);
  }
  ::close(p[1]);
  char ok = 0;
  ASSERT_EQ(::read(p[0], &ok, 1), 1);
  ::close(p[0]);
  EXPECT_EQ(ok, 'y');
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ASSERT_EQ(socketsFor("stale.name").size(), 1u);

  DarwinNotifyCenter center;
  int count = 0;
  center.addObserver("stale.name", [&](const std::string&) { ++count; });
  ASSERT_EQ(socketsFor("stale.name").size(), 2u);
  int delivered = -1;  // the socket of the ended process counts for nothing
  EXPECT_TRUE(center.post("stale.name", &delivered));
  EXPECT_EQ(delivered, 1);
  EXPECT_EQ(socketsFor("stale.name").size(), 1u);  // only the live observer's socket is left
  runUntil([&] { return count == 1; });
  EXPECT_EQ(count, 1);
}

TEST_F(DarwinNotifyTest, ExistingOpenFolderIsMadePrivateAndLongPathsWork) {
  // A rendezvous path too long for a socket address.
  dir_ = root_ + "/" + std::string(60, 'd') + "/" + std::string(60, 'e');
  settings_.set("QUILLBOX_NOTIFY_DIR", dir_);
  fs::create_directories(dir_);
  ::chmod(dir_.c_str(), 0755);
  DarwinNotifyCenter center;
  int count = 0;
  ASSERT_NE(center.addObserver("long.path", [&](const std::string&) { ++count; }), 0u);
  struct stat st;
  ASSERT_EQ(::stat(dir_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(socketsFor("long.path").size(), 1u);
  EXPECT_TRUE(center.post("long.path"));
  runUntil([&] { return count == 1; });
  EXPECT_EQ(count, 1);
}

TEST_F(DarwinNotifyTest, BadNamesAndUnusableFoldersAreRefused) {
  DarwinNotifyCenter center;
  EXPECT_FALSE(center.post(""));
  EXPECT_FALSE(center.post(std::string(DarwinNotifyCenter::kMaxNameLength + 1, 'n')));
  EXPECT_EQ(center.addObserver("", [](const std::string&) {}), 0u);

  // Names that differ only in characters the file name can't hold stay apart.
  int slash = 0, underscore = 0;
  center.addObserver("a/b", [&](const std::string&) { ++slash; });
  center.addObserver("a_b", [&](const std::string&) { ++underscore; });
  EXPECT_TRUE(center.post("a/b"));
  runUntil([&] { return slash == 1; });
  EXPECT_TRUE(center.post("a_b"));
  runUntil([&] { return underscore >= 1; });
  // Each post reached its own observer once.
  EXPECT_EQ(slash, 1);
  EXPECT_EQ(underscore, 1);

  // The rendezvous path is a regular file: no folder, a clean failure.
  std::string file = root_ + "/plain-file";
  { std::ofstream(file) << "x"; }
  settings_.set("QUILLBOX_NOTIFY_DIR", file);
  EXPECT_FALSE(center.post("a/b"));
  EXPECT_EQ(center.addObserver("x", [](const std::string&) {}), 0u);
}

}  // namespace
}  // namespace quillbox::platform
