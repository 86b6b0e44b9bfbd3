// Threads: named, counted threads that callers can wait for.
// ctest-labels: threaded (run under ThreadSanitizer by make test-tsan)
#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <string>

#include "Platform/Process/Threads.h"

namespace quillbox::platform {
namespace {

// Generous upper bound for what should happen soon; never a speed target.
constexpr std::chrono::seconds kPatience{30};

TEST(ThreadsTest, ThreadsAreNamedCountedByPrefixAndWaitedFor) {
  Threads& threads = Threads::Default();
  std::promise<void> release;
  std::shared_future<void> go = release.get_future().share();
  std::promise<std::string> seenName;
  ASSERT_TRUE(threads.startThread("test-a-long-thread-name", [&seenName, go] {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    seenName.set_value(name);
    go.wait();
  }));
  ASSERT_TRUE(threads.startThread("test-b", [go] {
    go.wait();
    throw std::runtime_error("ends the thread, not the process");
  }));
  EXPECT_EQ(seenName.get_future().get(), "test-a-long-thr");  // the kernel keeps 15 bytes
  EXPECT_EQ(threads.liveThreads("test-"), 2);
  EXPECT_EQ(threads.liveThreads("test-b"), 1);
  EXPECT_EQ(threads.liveThreads("other"), 0);
  EXPECT_FALSE(threads.waitForThreads("test-", std::chrono::milliseconds(1)));
  release.set_value();
  EXPECT_TRUE(threads.waitForThreads("test-", kPatience));
  EXPECT_EQ(threads.liveThreads("test-"), 0);
}

}  // namespace
}  // namespace quillbox::platform
