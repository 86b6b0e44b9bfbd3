// RunLoop: nested runs, stop, timers, fd sources, perform, performOnMainThread.
// ctest-labels: threaded (run under ThreadSanitizer by make test-tsan)
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Loop/RunLoop.h"

namespace quillbox::platform {
namespace {

using std::chrono::milliseconds;
// Generous upper bound for anything that should happen "soon"; never a speed target.
constexpr milliseconds kPatience{30000};

TEST(RunLoopTest, StopEndsOnlyTheInnermostRun) {
  RunLoop& loop = RunLoop::current();
  std::vector<std::string> seen;
  loop.perform([&] {
    seen.push_back("outer-callback");
    loop.perform([&] {
      seen.push_back("inner-callback");
      loop.stop();  // ends the nested run only
    });
    bool stopped = loop.runFor(kPatience);
    seen.push_back(stopped ? "inner-stopped" : "inner-timed-out");
    EXPECT_TRUE(loop.isRunning());  // the outer run is still active
    loop.perform([&] {
      seen.push_back("after-inner");
      loop.stop();
    });
  });
  EXPECT_TRUE(loop.runFor(kPatience));
  EXPECT_FALSE(loop.isRunning());
  EXPECT_EQ(seen, (std::vector<std::string>{"outer-callback", "inner-callback", "inner-stopped",
                                            "after-inner"}));
}

TEST(RunLoopTest, StopWithoutActiveRunEndsTheNextRunAtOnce) {
  RunLoop& loop = RunLoop::current();
  loop.stop();
  EXPECT_TRUE(loop.runFor(kPatience));
  // The request was consumed: the following run lasts until its time is up.
  EXPECT_FALSE(loop.runFor(milliseconds(20)));
}

TEST(RunLoopTest, TimersFireOnceRepeatOrNotAtAll) {
  RunLoop& loop = RunLoop::current();
  int oneShot = 0, repeating = 0, cancelled = 0;
  loop.addTimer(milliseconds(1), false, [&] { ++oneShot; });
  uint64_t dead = loop.addTimer(milliseconds(1), false, [&] { ++cancelled; });
  loop.cancelTimer(dead);
  loop.cancelTimer(987654321);  // unknown ids are ignored
  uint64_t rep = 0;
  rep = loop.addTimer(milliseconds(2), true, [&] {
    if (++repeating == 5) {
      loop.cancelTimer(rep);  // cancelling itself from its own callback
      loop.addTimer(milliseconds(30), false, [&] { loop.stop(); });
    }
  });
  EXPECT_TRUE(loop.runFor(kPatience));
  EXPECT_EQ(oneShot, 1);
  EXPECT_EQ(repeating, 5);
  EXPECT_EQ(cancelled, 0);
}

TEST(RunLoopTest, EarlierTimerFiresFirst) {
  RunLoop& loop = RunLoop::current();
  std::vector<int> order;
  loop.addTimer(milliseconds(80), false, [&] {
    order.push_back(80);
    loop.stop();
  });
  loop.addTimer(milliseconds(1), false, [&] { order.push_back(1); });
  EXPECT_TRUE(loop.runFor(kPatience));
  EXPECT_EQ(order, (std::vector<int>{1, 80}));
}

TEST(RunLoopTest, RepeatingTimerIsNotReenteredFromItsNestedRun) {
  RunLoop& loop = RunLoop::current();
  int depth = 0, maxDepth = 0, calls = 0;
  uint64_t id = 0;
  id = loop.addTimer(milliseconds(1), true, [&] {
    ++calls;
    maxDepth = std::max(maxDepth, ++depth);
    if (calls == 1) loop.runFor(milliseconds(30));  // the timer is due many times meanwhile
    --depth;
    if (calls == 3) {
      loop.cancelTimer(id);
      loop.stop();
    }
  });
  EXPECT_TRUE(loop.runFor(kPatience));
  EXPECT_EQ(maxDepth, 1);
  EXPECT_EQ(calls, 3);
}

TEST(RunLoopTest, PerformFromOtherThreadsRunsInOrderOnTheLoopThread) {
  RunLoop& loop = RunLoop::current();
  std::thread::id self = std::this_thread::get_id();
  std::vector<int> got;
  bool allOnLoopThread = true;
  std::thread sender([&] {
    for (int i = 0; i < 200; ++i) {
      loop.perform([&, i] {
        got.push_back(i);
        allOnLoopThread = allOnLoopThread && std::this_thread::get_id() == self;
        if (i == 199) loop.stop();
      });
    }
  });
  EXPECT_TRUE(loop.runFor(kPatience));
  sender.join();
  ASSERT_EQ(got.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(got[i], i);
  EXPECT_TRUE(allOnLoopThread);
}

TEST(RunLoopTest, TimerAndStopFromOtherThreadsWakeTheLoop) {
  RunLoop& loop = RunLoop::current();
  std::atomic<bool> fired{false};
  std::thread t([&] { loop.addTimer(milliseconds(0), false, [&] { fired = true; }); });
  t.join();
  std::thread stopper([&] {
    while (!fired) std::this_thread::yield();
    loop.stop();
  });
  EXPECT_TRUE(loop.runFor(kPatience));
  stopper.join();
  EXPECT_TRUE(fired);
}

TEST(RunLoopTest, EachThreadHasItsOwnLoop) {
  RunLoop* mine = &RunLoop::current();
  RunLoop* theirs = nullptr;
  std::thread t([&] {
    theirs = &RunLoop::current();
    // A worker thread with its own loop, as an upload thread has.
    theirs->addTimer(milliseconds(1), false, [&] { theirs->stop(); });
    EXPECT_TRUE(theirs->runFor(kPatience));
    EXPECT_FALSE(RunLoop::isMainThread());
  });
  t.join();
  EXPECT_NE(mine, theirs);
  EXPECT_EQ(mine, &RunLoop::current());
}

TEST(RunLoopTest, RunOnAnotherThreadsLoopIsRefused) {
  RunLoop& loop = RunLoop::current();
  bool result = true;
  std::thread t([&] { result = loop.runFor(kPatience); });
  t.join();
  EXPECT_FALSE(result);
}

TEST(RunLoopTest, FdSourceCallsWhileReadableAndStopsAfterRemoval) {
  RunLoop& loop = RunLoop::current();
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  std::string received;
  uint64_t src = loop.addFdSource(p[0], [&] {
    char buf[64];
    ssize_t n = ::read(p[0], buf, sizeof buf);
    if (n > 0) received.append(buf, static_cast<size_t>(n));
    if (received.size() >= 5) loop.stop();
  });
  std::thread writer([&] {
    for (char c : std::string("hello")) ASSERT_EQ(::write(p[1], &c, 1), 1);
  });
  EXPECT_TRUE(loop.runFor(kPatience));
  writer.join();
  EXPECT_EQ(received, "hello");

  loop.removeFdSource(src);
  ASSERT_EQ(::write(p[1], "x", 1), 1);
  EXPECT_FALSE(loop.runFor(milliseconds(50)));
  EXPECT_EQ(received, "hello");  // removed: not called though readable
  ::close(p[0]);
  ::close(p[1]);
}

TEST(RunLoopTest, FdSourceIsNotReenteredFromItsNestedRun) {
  RunLoop& loop = RunLoop::current();
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  int calls = 0, depth = 0, maxDepth = 0;
  uint64_t src = loop.addFdSource(p[0], [&] {
    ++calls;
    maxDepth = std::max(maxDepth, ++depth);
    loop.runFor(milliseconds(20));  // the fd is still readable during this
    char c;
    EXPECT_EQ(::read(p[0], &c, 1), 1);
    --depth;
    loop.stop();
  });
  ASSERT_EQ(::write(p[1], "x", 1), 1);
  EXPECT_TRUE(loop.runFor(kPatience));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(maxDepth, 1);
  loop.removeFdSource(src);
  ::close(p[0]);
  ::close(p[1]);
}

TEST(RunLoopTest, ClosedFdSourceIsDroppedInsteadOfSpinning) {
  RunLoop& loop = RunLoop::current();
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  ::close(p[0]);
  ::close(p[1]);
  int calls = 0;
  loop.addFdSource(p[0], [&] { ++calls; });
  EXPECT_FALSE(loop.runFor(milliseconds(30)));
  EXPECT_EQ(calls, 0);
}

TEST(RunLoopTest, ThrowingCallbackDoesNotEndTheLoop) {
  RunLoop& loop = RunLoop::current();
  bool after = false;
  loop.perform([] { throw std::runtime_error("boom"); });
  loop.perform([&] {
    after = true;
    loop.stop();
  });
  EXPECT_TRUE(loop.runFor(kPatience));
  EXPECT_TRUE(after);
}

TEST(RunLoopTest, PerformOnMainThreadWaitBlocksTheSenderUntilDone) {
  ASSERT_TRUE(RunLoop::isMainThread()) << "the test runner's thread is the initial thread";
  RunLoop& main = RunLoop::main();
  ASSERT_EQ(&main, &RunLoop::current());
  int value = 0;  // written on the main thread, read by the sender after the wait
  bool ranOnMain = false;
  int seenBySender = -1;
  std::thread sender([&] {
    performOnMainThread(
        [&] {
          ranOnMain = RunLoop::isMainThread();
          value = 42;
        },
        true);
    seenBySender = value;  // no race: the wait orders this after the write
    performOnMainThread([&] { main.stop(); }, false);
  });
  EXPECT_TRUE(main.runFor(kPatience));
  sender.join();
  EXPECT_TRUE(ranOnMain);
  EXPECT_EQ(seenBySender, 42);
}

TEST(RunLoopTest, PerformOnMainThreadWithoutWaitReturnsBeforeRunning) {
  ASSERT_TRUE(RunLoop::isMainThread());
  std::atomic<bool> ran{false};
  // The main loop is not running: a waiting call would never return.
  std::thread sender([&] { performOnMainThread([&] { ran = true; }, false); });
  sender.join();
  EXPECT_FALSE(ran);
  RunLoop::main().perform([] { RunLoop::main().stop(); });
  EXPECT_TRUE(RunLoop::main().runFor(kPatience));
  EXPECT_TRUE(ran);
}

TEST(RunLoopTest, PerformOnMainThreadWaitRunsInlineOnTheMainThread) {
  ASSERT_TRUE(RunLoop::isMainThread());
  bool ran = false;
  performOnMainThread([&] { ran = true; }, true);
  EXPECT_TRUE(ran);
  // Without waiting it is queued, even on the main thread.
  bool queued = false;
  performOnMainThread([&] { queued = true; }, false);
  EXPECT_FALSE(queued);
  RunLoop::main().perform([] { RunLoop::main().stop(); });
  EXPECT_TRUE(RunLoop::main().runFor(kPatience));
  EXPECT_TRUE(queued);
}

TEST(RunLoopTest, WaitingPerformsFromManyThreadsReachANestedMainRun) {
  ASSERT_TRUE(RunLoop::isMainThread());
  RunLoop& main = RunLoop::main();
  std::atomic<int> done{0};
  int counter = 0;  // main thread only
  std::vector<std::thread> senders;
  main.perform([&] {
    // A nested run, as while the shutter sound plays, still serves the senders.
    for (int i = 0; i < 4; ++i) {
      senders.emplace_back([&] {
        for (int k = 0; k < 50; ++k) performOnMainThread([&] { ++counter; }, true);
        if (++done == 4) main.perform([&] { main.stop(); });
      });
    }
    EXPECT_TRUE(main.runFor(kPatience));
    main.stop();
  });
  EXPECT_TRUE(main.runFor(kPatience));
  for (auto& t : senders) t.join();
  EXPECT_EQ(counter, 200);
}

}  // namespace
}  // namespace quillbox::platform
