#include "Platform/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <random>

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

bool writeAll(int fd, std::string_view data) {
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t w = ::write(fd, p, left);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    left -= static_cast<size_t>(w);
  }
  return true;
}

// Fills a temporary file beside `path` through `fill`, fsyncs it, renames it
// over `path` and fsyncs the directory. The temporary file is made with
// 0644 less the umask; `ownerOnly` makes it exactly 0600 from its creation on.
std::atomic<unsigned> g_tempCounter{0};  // one for every instantiation below
template <class Fill>
bool replaceAtomically(const std::string& path, bool ownerOnly, Fill fill) {
  std::string dir = deletingLastPathComponent(path);
  std::string tmp = (dir.empty() ? std::string(".") : dir) + "/." + lastPathComponent(path) +
                    ".tmp." + std::to_string(::getpid()) + "." + std::to_string(g_tempCounter++);
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, ownerOnly ? 0600 : 0644);
  if (fd < 0) return false;
  bool ok = (!ownerOnly || ::fchmod(fd, 0600) == 0) && fill(fd) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok) ok = ::rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(tmp.c_str());
    return false;
  }
  int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
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
    a.modificationDate = toTimePoint(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec);
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

  bool writeAtomically(const std::string& path, std::string_view data) override {
    return replaceAtomically(path, false, [&](int fd) { return writeAll(fd, data); });
  }

  bool writeOwnerOnlyAtomically(const std::string& path, std::string_view data) override {
    return replaceAtomically(path, true, [&](int fd) { return writeAll(fd, data); });
  }

  bool copyAtomically(const std::string& from, const std::string& to) override {
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    struct stat st;
    bool ok = ::fstat(in, &st) == 0 && S_ISREG(st.st_mode);
    ok = ok && replaceAtomically(to, false, [&](int out) {
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
    return ok;
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

void FileSystem::setDefaultForTesting(FileSystem* fs) { g_override.store(fs); }

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
