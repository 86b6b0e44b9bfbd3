// StoreLock: serialises read-change-write of the shared plist files.
//
// Inside the process one recursive mutex (the store lock) is held; between
// processes an advisory flock on the side file "<file>.lock" is held as well.
// Re-entrant on one thread (a check that fills in a record may upsert while it
// already holds the lock). Safe for use from any thread.
#pragma once

#include <mutex>
#include <string>

namespace quillbox::platform {

class StoreLock {
 public:
  // Locks the process-wide store lock, then flock(LOCK_EX) on path + ".lock".
  // If the side file can't be opened (read-only folder) only the mutex is held.
  explicit StoreLock(const std::string& path);
  ~StoreLock();
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

  // The process-wide lock (the property store's propertyInfoFileWriteLock).
  static std::recursive_mutex& processLock();

 private:
  std::string lockPath_;
  int fd_ = -1;
  bool outermost_ = false;
};

}  // namespace quillbox::platform
