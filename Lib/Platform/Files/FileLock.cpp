#include "Platform/Files/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <map>

namespace quillbox::platform {
namespace {
// flock locks belong to open file descriptions: a second open of the same side
// file on this thread would deadlock against the first, so nested holders reuse it.
thread_local std::map<std::string, std::pair<int, int>> t_held;  // path -> (fd, depth)
}  // namespace

std::recursive_mutex& StoreLock::processLock() {
  static std::recursive_mutex m;
  return m;
}

StoreLock::StoreLock(const std::string& path) : lockPath_(path + ".lock") {
  processLock().lock();
  auto it = t_held.find(lockPath_);
  if (it != t_held.end()) {
    ++it->second.second;
    return;
  }
  outermost_ = true;
  fd_ = ::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ >= 0) {
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  t_held[lockPath_] = {fd_, 1};
}

StoreLock::~StoreLock() {
  auto it = t_held.find(lockPath_);
  if (it != t_held.end() && --it->second.second == 0) {
    if (it->second.first >= 0) {
      ::flock(it->second.first, LOCK_UN);
      ::close(it->second.first);
    }
    t_held.erase(it);
  }
  processLock().unlock();
}

}  // namespace quillbox::platform
