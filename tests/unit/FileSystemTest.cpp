// The atomic whole-file replace of the POSIX file system, watched from outside:
// a concurrent reader, the file's inode, a write the kernel refuses.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>

#include "Platform/Files/FileSystem.h"
#include "TestSupport.h"

using quillbox::platform::FileSystem;
using quillbox::platform::Outcome;

namespace {

ino_t inodeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

size_t entriesIn(const std::string& dir) {
  size_t n = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) n += e.exists() ? 1 : 0;
  return n;
}

}  // namespace

TEST(FileSystemAtomicWrite, ReadersNeverSeeAPartialFileAndEveryWriteIsANewInode) {
  TempDir dir;
  const std::string path = dir.file("store.plist");
  // Two contents of different sizes: a torn or truncated read matches neither.
  const std::string a(96 * 1024, 'a'), b(160 * 1024, 'b');
  auto& fs = FileSystem::Default();
  ASSERT_TRUE(fs.writeAtomically(path, a));
  std::atomic<bool> writing{true};
  std::atomic<int> reads{0}, torn{0};
  std::thread reader([&] {
    while (writing.load() || reads.load() == 0) {
      auto got = fs.readFile(path);
      if (!got || (*got != a && *got != b)) ++torn;
      ++reads;
    }
  });
  for (int i = 0; i < 300; ++i) {
    const ino_t before = inodeOf(path);
    ASSERT_TRUE(fs.writeAtomically(path, i % 2 ? a : b));
    ASSERT_NE(inodeOf(path), before) << "write " << i << " reused the file in place";
  }
  writing = false;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(torn.load(), 0) << "of " << reads.load() << " reads";
  EXPECT_EQ(entriesIn(dir.path()), 1u);  // no temporary file left behind
}

TEST(FileSystemAtomicWrite, AFailedWriteLeavesThePreviousContents) {
  TempDir dir;
  const std::string path = dir.file("store.plist");
  auto& fs = FileSystem::Default();
  ASSERT_TRUE(fs.writeAtomically(path, "previous"));
  // The kernel refuses files past 64 KiB in this process (EFBIG, signal ignored).
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto savedSignal = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 64 * 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const Outcome written = fs.writeAtomically(path, std::string(1024 * 1024, 'x'));
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, savedSignal);
  EXPECT_FALSE(written);
  EXPECT_EQ(written.error, EFBIG);
  EXPECT_EQ(written.reason, "write: File too large");
  EXPECT_EQ(fs.readFile(path), std::optional<std::string>("previous"));
  EXPECT_EQ(entriesIn(dir.path()), 1u);
}
