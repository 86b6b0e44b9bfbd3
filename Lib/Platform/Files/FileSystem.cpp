#include "Platform/Files/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <random>

#include "Platform/Process/Log.h"

namespace quillbox::platform {
namespace {

std::chrono::system_clock::time_point toTimePoint(int64_t sec, int64_t nsec) {
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::seconds(sec) + std::chrono::nanoseconds(nsec)));
}

class PosixSequentialFile : public SequentialFile {
 public:
  explicit PosixSequentialFile(int fd) : fd_(fd) {}
  ~PosixSequentialFile() override { ::close(fd_); }
  int64_t read(char* buf, size_t n) override {
    for (;;) {
      ssize_t r = ::read(fd_, buf, n);
      if (r < 0 && errno == EINTR) continue;
      return r;
    }
  }
  bool seek(int64_t offset) override { return ::lseek(fd_, offset, SEEK_SET) == offset; }

 private:
  int fd_;
};

// Staged faults (tests only). g_faultsOn keeps the cost of the check to one
// relaxed load while no test has switched them on.
std::atomic<bool> g_faultsOn{false};
std::mutex g_faultsMutex;
FileSystemFaults g_faults;

ssize_t writeSome(int fd, const char* p, size_t n) {
  if (!g_faultsOn.load(std::memory_order_relaxed)) return ::write(fd, p, n);
  std::lock_guard<std::mutex> lock(g_faultsMutex);
  if (g_faults.shortWrites > 0 && n > 1) {
    --g_faults.shortWrites;
    n /= 2;
  }
  if (g_faults.bytesLeft >= 0) {
    if (g_faults.bytesLeft == 0) {
      errno = ENOSPC;
      return -1;
    }
    n = std::min<size_t>(n, static_cast<size_t>(g_faults.bytesLeft));
  }
  ssize_t w = ::write(fd, p, n);
  if (w > 0 && g_faults.bytesLeft >= 0) g_faults.bytesLeft -= w;
  return w;
}

int renameFile(const char* from, const char* to) {
  if (g_faultsOn.load(std::memory_order_relaxed)) {
    std::lock_guard<std::mutex> lock(g_faultsMutex);
    if (g_faults.failedRenames > 0) {
      --g_faults.failedRenames;
      errno = EIO;
      return -1;
    }
  }
  return ::rename(from, to);
}

bool writeAll(int fd, std::string_view data) {
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t w = writeSome(fd, p, left);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    left -= static_cast<size_t>(w);
  }
  return true;
}

// Temporary files are named ".<name>.tmp.<pid>.<n>". The pid of one, or 0
// when the name is not of that form.
pid_t temporaryFileOwner(const std::string& name) {
  if (name.empty() || name[0] != '.') return 0;
  size_t tmp = name.rfind(".tmp.");
  if (tmp == std::string::npos || tmp == 0) return 0;
  size_t pidStart = tmp + 5, dot = name.find('.', pidStart);
  if (dot == std::string::npos || dot == pidStart || dot + 1 == name.size()) return 0;
  auto digits = [&](size_t from, size_t to) {
    return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(from),
                       name.begin() + static_cast<std::ptrdiff_t>(to),
                       [](char c) { return c >= '0' && c <= '9'; });
  };
  if (dot - pidStart > 9 || !digits(pidStart, dot) || !digits(dot + 1, name.size())) return 0;
  return static_cast<pid_t>(std::stol(name.substr(pidStart, dot - pidStart)));
}

// Removes the temporary files that writers which have ended (killed between
// naming the file and renaming it) left in `dir`. Done on the first write
// into a folder and again at most once a minute, so a folder of many files
// is not listed at every write.
void removeLeftoversOf(const std::string& dir) {
  static std::mutex mu;
  static std::map<std::string, std::chrono::steady_clock::time_point> lastSweep;
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> lock(mu);
    auto it = lastSweep.find(dir);
    if (it != lastSweep.end() && now - it->second < std::chrono::minutes(1)) return;
    lastSweep[dir] = now;
  }
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  while (struct dirent* e = ::readdir(d)) {
    pid_t owner = temporaryFileOwner(e->d_name);
    if (owner <= 0 || owner == ::getpid()) continue;
    if (::kill(owner, 0) == 0 || errno != ESRCH) continue;  // its writer may still run
    if (::unlinkat(::dirfd(d), e->d_name, 0) == 0)
      Log::printf("FileSystem: removed %s/%s, left by an ended writer", dir.c_str(), e->d_name);
  }
  ::closedir(d);
}

// Fills a new file beside `path` through `fill`, fsyncs it, renames it over
// `path` and fsyncs the folder. The new file has no name until it is complete
// (O_TMPFILE), so a writer killed before that leaves nothing behind; where
// the file system can't make unnamed files, it is named from the start.
std::atomic<unsigned> g_tempCounter{0};  // one for every instantiation below
template <class Fill>
Outcome replaceFile(const std::string& path, mode_t mode, Fill fill) {
  std::atomic<unsigned>& counter = g_tempCounter;
  const std::string dir = deletingLastPathComponent(path);
  const std::string folder = dir.empty() ? std::string(".") : dir;
  removeLeftoversOf(folder);
  const std::string tmp = folder + "/." + lastPathComponent(path) + ".tmp." +
                          std::to_string(::getpid()) + "." + std::to_string(counter++);
  const char* failedStep = nullptr;
  int failedErrno = 0;
  auto fail = [&](const char* step) {
    if (!failedStep) {
      failedStep = step;
      failedErrno = errno;
    }
    return false;
  };
  bool named = false;
  int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    named = true;
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  }
  // The umask may only take permissions away; a secret file gets exactly 0600.
  bool ok = (fd >= 0 || fail("create")) &&
            (mode != 0600 || ::fchmod(fd, mode) == 0 || fail("chmod")) &&
            (fill(fd) || fail("write")) && (::fsync(fd) == 0 || fail("fsync"));
  if (ok && !named) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    named = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, tmp.c_str(), AT_SYMLINK_FOLLOW) == 0;
    ok = named || fail("link");
  }
  if (fd >= 0 && ::close(fd) != 0) ok = fail("close");
  if (ok && renameFile(tmp.c_str(), path.c_str()) != 0) ok = fail("rename");
  if (!ok) {
    if (named) ::unlink(tmp.c_str());
    Outcome why = Outcome::fromErrno(failedErrno);
    why.reason = std::string(failedStep) + ": " + why.reason;
    Log::printf("FileSystem: cannot replace %s (%s); the previous file is kept", path.c_str(),
                why.reason.c_str());
    return why;
  }
  int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return Outcome::success();
}

class PosixFileSystem : public FileSystem {
 public:
  std::optional<std::vector<std::string>> list(const std::string& dir) override {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return std::nullopt;
    std::vector<std::string> names;
    while (struct dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n == "." || n == "..") continue;
      names.push_back(std::move(n));
    }
    ::closedir(d);
    return names;
  }

  bool exists(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
  }

  bool isDirectory(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  bool createDirectories(const std::string& path) override {
    if (path.empty()) return false;
    if (isDirectory(path)) return true;
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
      size_t next = path.find('/', pos + 1);
      partial = path.substr(0, next);
      if (!partial.empty() && partial != "/") {
        if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
      }
      pos = next;
    }
    return isDirectory(path);
  }

  std::optional<FileAttributes> attributes(const std::string& path) override {
    struct statx sx;
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
      return std::nullopt;
    }
    FileAttributes a;
    a.size = static_cast<int64_t>(sx.stx_size);
    a.isDirectory = S_ISDIR(sx.stx_mode);
    a.isRegularFile = S_ISREG(sx.stx_mode);
    a.permissions = sx.stx_mode & 07777;
    a.modificationDate = toTimePoint(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec);
    a.device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    a.inode = sx.stx_ino;
    a.creationDate = (sx.stx_mask & STATX_BTIME)
                         ? toTimePoint(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec)
                         : a.modificationDate;
    return a;
  }

  std::optional<std::string> readFile(const std::string& path) override {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string out;
    char buf[65536];
    for (;;) {
      ssize_t r = ::read(fd, buf, sizeof buf);
      if (r < 0) {
        if (errno == EINTR) continue;
        ::close(fd);
        return std::nullopt;
      }
      if (r == 0) break;
      out.append(buf, static_cast<size_t>(r));
    }
    ::close(fd);
    return out;
  }

  Outcome writeAtomically(const std::string& path, std::string_view data) override {
    return replaceFile(path, 0644, [&](int fd) { return writeAll(fd, data); });
  }

  Outcome writeOwnerOnlyAtomically(const std::string& path, std::string_view data) override {
    return replaceFile(path, 0600, [&](int fd) { return writeAll(fd, data); });
  }

  Outcome copyAtomically(const std::string& from, const std::string& to) override {
    auto failed = [](const char* step, int error) {
      Outcome why = Outcome::fromErrno(error);
      why.reason = std::string(step) + ": " + why.reason;
      return why;
    };
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return failed("open", errno);
    struct stat st;
    const bool statted = ::fstat(in, &st) == 0;
    if (!statted || !S_ISREG(st.st_mode)) {
      const int error = statted ? EINVAL : errno;  // a folder or a device is no file to copy
      ::close(in);
      return failed("open", error);
    }
    Outcome copied = replaceFile(to, 0644, [&](int out) {
      char buf[1 << 16];
      for (;;) {
        ssize_t r = ::read(in, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return false;
        if (r == 0) return true;
        if (!writeAll(out, std::string_view(buf, static_cast<size_t>(r)))) return false;
      }
    });
    ::close(in);
    return copied;
  }

  bool remove(const std::string& path) override {
    return ::unlink(path.c_str()) == 0 || ::rmdir(path.c_str()) == 0;
  }

  std::unique_ptr<SequentialFile> openSequential(const std::string& path) override {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
      ::close(fd);
      return nullptr;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return std::make_unique<PosixSequentialFile>(fd);
  }
};

std::atomic<FileSystem*> g_override{nullptr};

}  // namespace

FileSystem& FileSystem::Default() {
  if (FileSystem* o = g_override.load()) return *o;
  static PosixFileSystem posix;
  return posix;
}

FileSystem* FileSystem::setDefaultForTesting(FileSystem* fs) {
  return g_override.exchange(fs);
}

void FileSystem::setFaultsForTesting(std::optional<FileSystemFaults> faults) {
  std::lock_guard<std::mutex> lock(g_faultsMutex);
  g_faults = faults.value_or(FileSystemFaults{});
  g_faultsOn.store(faults.has_value());
}

std::string lastPathComponent(const std::string& path) {
  size_t p = path.rfind('/');
  return p == std::string::npos ? path : path.substr(p + 1);
}

std::string deletingLastPathComponent(const std::string& path) {
  size_t p = path.rfind('/');
  if (p == std::string::npos) return std::string();
  if (p == 0) return "/";
  return path.substr(0, p);
}

bool isSafePathComponent(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

}  // namespace quillbox::platform
