// InstanceLock: at most one process of a kind for one lock file.
//
// acquire() takes an exclusive advisory lock (flock) on the file without
// waiting, and writes the holder's process id into it. The lock lasts as long
// as the object; the system drops it when the process ends, however it ends,
// so a crashed holder never blocks the next start. Safe for use from any
// thread; the object is not copied.
#pragma once

#include <memory>
#include <string>

namespace quillbox::platform {

class InstanceLock {
 public:
  // What acquire() found: the lock when this process holds it now; else
  // `holder` is the process id written by the process that holds it (0 when
  // unknown), or `error` says why the file could not be locked at all.
  struct Result {
    std::unique_ptr<InstanceLock> lock;
    long holder = 0;
    std::string error;
  };
  // Creates the file (0600, and its folders) when missing.
  static Result acquire(const std::string& path);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

 private:
  explicit InstanceLock(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace quillbox::platform
