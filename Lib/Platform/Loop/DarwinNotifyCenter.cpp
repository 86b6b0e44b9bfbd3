#include "Platform/Loop/DarwinNotifyCenter.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <vector>

#include "Platform/Files/FileSystem.h"
#include "Platform/Loop/RunLoop.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"

namespace quillbox::platform {
namespace {

const char kDirFailed[] = "DarwinNotifyCenter: cannot use the rendezvous folder %s (%s)";
const char kDirNotOwned[] =
    "DarwinNotifyCenter: the rendezvous folder %s is not a folder owned by this user; not used";
const char kDirWritableByOthers[] =
    "DarwinNotifyCenter: the rendezvous folder %s may be written by other users (mode %03o); "
    "not used: another user could post into it or stand in for its observers "
    "(make it private with chmod 700, or choose another folder)";
const char kBadName[] = "DarwinNotifyCenter: refused a notification name of %zu bytes";
const char kSocketFailed[] = "DarwinNotifyCenter: cannot make the socket %s (%s)";
const char kDropped[] = "DarwinNotifyCenter: \"%s\" not delivered to %s (%s)";
const char kStaleRemoved[] = "DarwinNotifyCenter: removed stale socket %s";

constexpr size_t kReadablePart = 24;  // bytes of the sanitised name kept in a socket's file name

uint64_t fnv1a64(const std::string& s) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : s) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

// Creates the folder (parents as needed) and makes sure it is ours and
// writable by nobody else. A folder that others may write into is refused,
// not repaired: what they placed there would stay. One only others may read is
// made private.
bool ensureRendezvous(const std::string& dir) {
  std::string parent = deletingLastPathComponent(dir);
  if (!parent.empty() && parent != dir) FileSystem::Default().createDirectories(parent);
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    Log::printf(kDirFailed, dir.c_str(), std::strerror(errno));
    return false;
  }
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0) {
    Log::printf(kDirFailed, dir.c_str(), std::strerror(errno));
    return false;
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
    Log::printf(kDirNotOwned, dir.c_str());
    return false;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    Log::printf(kDirWritableByOthers, dir.c_str(), static_cast<unsigned>(st.st_mode & 07777));
    return false;
  }
  if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) {
    Log::printf(kDirFailed, dir.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

// An address for `dir`/`file`. Paths too long for sun_path go through the
// folder's descriptor (/proc/self/fd/N/file); `dirFd` then holds it open.
struct Address {
  sockaddr_un addr{};
  socklen_t len = 0;
  int dirFd = -1;
  Address() = default;
  Address(const Address&) = delete;
  Address& operator=(const Address&) = delete;
  ~Address() {
    if (dirFd >= 0) ::close(dirFd);
  }
};
bool makeAddress(const std::string& dir, const std::string& file, Address& a) {
  std::string path = dir + "/" + file;
  if (path.size() >= sizeof(a.addr.sun_path)) {
    a.dirFd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (a.dirFd < 0) return false;
    path = "/proc/self/fd/" + std::to_string(a.dirFd) + "/" + file;
    if (path.size() >= sizeof(a.addr.sun_path)) return false;
  }
  a.addr.sun_family = AF_UNIX;
  std::memcpy(a.addr.sun_path, path.c_str(), path.size() + 1);
  a.len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  return true;
}

bool validName(const std::string& name) {
  if (name.empty() || name.size() > DarwinNotifyCenter::kMaxNameLength) {
    Log::printf(kBadName, name.size());
    return false;
  }
  return true;
}

}  // namespace

std::string DarwinNotifyCenter::socketPrefix(const std::string& name) {
  std::string readable;
  for (char c : name) {
    if (readable.size() >= kReadablePart) break;
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '.' || c == '-' || c == '_';
    readable += keep ? c : '_';
  }
  return readable + "~" + strprintf("%016llx", static_cast<unsigned long long>(fnv1a64(name))) +
         "~";
}

struct DarwinNotifyCenter::Impl {
  struct Observer {
    std::string name;
    std::string dir, file;
    int fd = -1;
    uint64_t sourceId = 0;
    std::atomic<bool> alive{true};
    std::function<void(const std::string&)> callback;
    ~Observer() {
      if (fd >= 0) ::close(fd);
    }
    void unlinkFile() {
      Address a;
      if (makeAddress(dir, file, a)) ::unlink(a.addr.sun_path);
    }
    // Runs on the main loop: delivers every datagram waiting on the socket.
    void drain() {
      char buf[kMaxNameLength + 1];
      for (;;) {
        ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0) {
          if (errno == EINTR) continue;
          return;  // EAGAIN: drained
        }
        if (!alive) return;
        if (std::string(buf, static_cast<size_t>(n)) == name) callback(name);
      }
    }
  };

  std::mutex mu;
  std::map<uint64_t, std::shared_ptr<Observer>> observers;
  uint64_t nextId = 1;
  uint64_t nextSocket = 1;
  uint64_t instanceTag = std::random_device{}();
};

DarwinNotifyCenter::DarwinNotifyCenter() : impl_(std::make_unique<Impl>()) {}

DarwinNotifyCenter::~DarwinNotifyCenter() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  for (auto& [id, o] : impl_->observers) o->unlinkFile();
}

namespace {
std::atomic<DarwinNotifyCenter*> g_override{nullptr};
}  // namespace

DarwinNotifyCenter& DarwinNotifyCenter::Default() {
  if (DarwinNotifyCenter* o = g_override.load()) return *o;
  static DarwinNotifyCenter center;
  return center;
}

DarwinNotifyCenter* DarwinNotifyCenter::setDefaultForTesting(DarwinNotifyCenter* center) {
  return g_override.exchange(center);
}

bool DarwinNotifyCenter::post(const std::string& name, int* delivered) {
  if (delivered) *delivered = 0;
  if (!validName(name)) return false;
  std::string dir = Environment::notifyDir();
  if (!ensureRendezvous(dir)) return false;
  auto entries = FileSystem::Default().list(dir);
  if (!entries) {
    Log::printf(kDirFailed, dir.c_str(), "cannot list");
    return false;
  }
  std::string prefix = socketPrefix(name);
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    Log::printf(kSocketFailed, dir.c_str(), std::strerror(errno));
    return false;
  }
  for (const std::string& file : *entries) {
    if (file.compare(0, prefix.size(), prefix) != 0) continue;
    Address a;
    if (!makeAddress(dir, file, a)) continue;
    ssize_t n;
    do {
      n = ::sendto(fd, name.data(), name.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&a.addr), a.len);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) {
      if (delivered) ++*delivered;
      continue;
    }
    if (errno == ECONNREFUSED) {
      // Nobody reads this socket any more: its process has ended without removing it.
      if (::unlink(a.addr.sun_path) == 0) Log::printf(kStaleRemoved, file.c_str());
    } else if (errno != ENOENT) {
      Log::printf(kDropped, name.c_str(), file.c_str(), std::strerror(errno));
    }
  }
  ::close(fd);
  return true;
}

uint64_t DarwinNotifyCenter::addObserver(const std::string& name,
                                         std::function<void(const std::string& name)> callback) {
  if (!validName(name)) return 0;
  std::string dir = Environment::notifyDir();
  if (!ensureRendezvous(dir)) return 0;
  auto o = std::make_shared<Impl::Observer>();
  o->name = name;
  o->dir = dir;
  o->callback = std::move(callback);
  uint64_t seq;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    seq = impl_->nextSocket++;
  }
  o->file = socketPrefix(name) + strprintf("%d-%llu-%llx", static_cast<int>(::getpid()),
                                           static_cast<unsigned long long>(seq),
                                           static_cast<unsigned long long>(impl_->instanceTag));
  o->fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  Address a;
  if (o->fd < 0 || !makeAddress(dir, o->file, a)) {
    Log::printf(kSocketFailed, o->file.c_str(), std::strerror(errno));
    return 0;
  }
  int rc = ::bind(o->fd, reinterpret_cast<const sockaddr*>(&a.addr), a.len);
  if (rc != 0 && errno == EADDRINUSE) {
    // Left behind by an ended process that had the same id; it is ours to replace.
    ::unlink(a.addr.sun_path);
    rc = ::bind(o->fd, reinterpret_cast<const sockaddr*>(&a.addr), a.len);
  }
  if (rc != 0) {
    Log::printf(kSocketFailed, o->file.c_str(), std::strerror(errno));
    return 0;
  }
  // The loop's copy of this function keeps the observer (and its fd) alive
  // while a drain is running, even if removeObserver() runs meanwhile.
  o->sourceId = RunLoop::main().addFdSource(o->fd, [o]() { o->drain(); });
  std::lock_guard<std::mutex> lock(impl_->mu);
  uint64_t id = impl_->nextId++;
  impl_->observers.emplace(id, o);
  return id;
}

void DarwinNotifyCenter::removeObserver(uint64_t id) {
  std::shared_ptr<Impl::Observer> o;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    auto it = impl_->observers.find(id);
    if (it == impl_->observers.end()) return;
    o = it->second;
    impl_->observers.erase(it);
  }
  o->alive = false;
  o->unlinkFile();
  RunLoop::main().removeFdSource(o->sourceId);
}

}  // namespace quillbox::platform
