#include "Platform/Files/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Platform/Files/FileSystem.h"

namespace quillbox::platform {

InstanceLock::Result InstanceLock::acquire(const std::string& path) {
  Result result;
  std::string folder = deletingLastPathComponent(path);
  if (!folder.empty()) FileSystem::Default().createDirectories(folder);
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    result.error = std::strerror(errno);
    return result;
  }
  int rc;
  while ((rc = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (rc != 0) {
    if (errno == EWOULDBLOCK) {
      char text[32] = {0};
      ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
      if (n > 0) result.holder = std::strtol(text, nullptr, 10);
    } else {
      result.error = std::strerror(errno);
    }
    ::close(fd);
    return result;
  }
  // The id is for the message of the process that finds the lock taken; the
  // lock itself is the flock, not the text.
  // Held all the same when the id can't be written: only that message loses it.
  std::string id = std::to_string(::getpid()) + "\n";
  bool written = ::ftruncate(fd, 0) == 0 && ::pwrite(fd, id.data(), id.size(), 0) >= 0;
  (void)written;
  result.lock.reset(new InstanceLock(fd));
  return result;
}

InstanceLock::~InstanceLock() {
  ::close(fd_);
}

}  // namespace quillbox::platform
