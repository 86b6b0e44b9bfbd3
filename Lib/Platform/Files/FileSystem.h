// FileSystem: the file operations the system needs, behind one interface.
//
// FileSystem::Default() is the POSIX implementation; tests replace it with
// setDefaultForTesting(), usually with a FileSystemWrapper that overrides only
// the operations they want to change. All operations are safe for concurrent
// use from any thread. Paths are plain byte strings (UTF-8 by convention).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Process/Outcome.h"

namespace quillbox::platform {

struct FileAttributes {
  int64_t size = 0;
  // Birth time where the file system records one (statx), else modification time.
  std::chrono::system_clock::time_point creationDate;
  std::chrono::system_clock::time_point modificationDate;
  bool isDirectory = false;
  bool isRegularFile = false;
  // The mode's permission bits (0777 and the set-id and sticky bits).
  uint32_t permissions = 0;
  // Identity of the file: an atomic replace always gives the path a new inode.
  uint64_t device = 0;
  uint64_t inode = 0;
};

// Failures the POSIX implementation stages on purpose, so that tests can see
// what the system does when a disk fills up or a rename fails. Off unless a
// test switches them on (then every write and rename consults them; when off
// the cost is one relaxed atomic load).
struct FileSystemFaults {
  // A full disk: the bytes that writes may still add, in total. A write that
  // needs more stores what fits and fails with ENOSPC. -1: no limit.
  int64_t bytesLeft = -1;
  // The next `failedRenames` renames fail with EIO.
  int failedRenames = 0;
  // The next `shortWrites` write calls take only half of their bytes (at
  // least one) and report that count, as write(2) may; callers must go on.
  int shortWrites = 0;
};

// A file opened for reading from start to end, in chunks.
class SequentialFile {
 public:
  virtual ~SequentialFile() = default;
  // Reads up to n bytes into buf. Gives the count read, 0 at end of file, -1 on error.
  virtual int64_t read(char* buf, size_t n) = 0;
  // Moves to an absolute offset. Gives false on error.
  virtual bool seek(int64_t offset) = 0;
};

class FileSystem {
 public:
  FileSystem() = default;
  FileSystem(const FileSystem&) = delete;
  FileSystem& operator=(const FileSystem&) = delete;
  virtual ~FileSystem() = default;

  // The process-wide instance (POSIX unless a test replaced it).
  static FileSystem& Default();
  // REQUIRES: fs outlives its use; nullptr restores the POSIX instance. Gives
  // the double installed before (nullptr: none), for scopes that put it back.
  static FileSystem* setDefaultForTesting(FileSystem* fs);
  // Stages faults in the POSIX instance (nullopt switches them off); the
  // counters go down as faults are used. Tests only.
  static void setFaultsForTesting(std::optional<FileSystemFaults> faults);

  // Names of the entries of a directory, one level, in the order the directory
  // gives them ("." and ".." left out); nullopt when it can't be listed.
  virtual std::optional<std::vector<std::string>> list(const std::string& dir) = 0;
  virtual bool exists(const std::string& path) = 0;
  virtual bool isDirectory(const std::string& path) = 0;
  // mkdir -p. Gives true when the directory exists afterwards.
  virtual bool createDirectories(const std::string& path) = 0;
  // nullopt when the file doesn't exist or can't be examined.
  virtual std::optional<FileAttributes> attributes(const std::string& path) = 0;
  // Whole-file read; nullopt when it can't be read.
  virtual std::optional<std::string> readFile(const std::string& path) = 0;
  // Writes to a temporary file beside `path`, fsyncs it, renames it over `path`
  // and fsyncs the directory: readers see the old file or the new one, never a
  // part. On failure the old file is unchanged, no temporary file stays
  // behind, the reason is logged and returned: the errno value and "STEP:
  // TEXT" (e.g. "write: No space left on device"). A writer killed
  // half-way leaves no named temporary file either, but for a window of two
  // system calls; such leftovers of ended processes are removed by the next
  // write into the same folder in another process.
  virtual Outcome writeAtomically(const std::string& path, std::string_view data) = 0;
  // As writeAtomically(), for a file that holds a secret: the file is readable
  // and writable by its owner only (0600) from its first byte on.
  virtual Outcome writeOwnerOnlyAtomically(const std::string& path, std::string_view data) = 0;
  // Copies the file `from` to `to` with the same guarantee as writeAtomically(),
  // streaming it (never whole in memory). Fails when `from` can't be read
  // ("open: ...", "read: ...") or `to` can't be written; `to` is then unchanged.
  virtual Outcome copyAtomically(const std::string& from, const std::string& to) = 0;
  virtual bool remove(const std::string& path) = 0;
  // nullptr when the file can't be opened.
  virtual std::unique_ptr<SequentialFile> openSequential(const std::string& path) = 0;
};

// Forwards every call to another FileSystem; tests override what they need.
class FileSystemWrapper : public FileSystem {
 public:
  explicit FileSystemWrapper(FileSystem& target) : target_(target) {}
  std::optional<std::vector<std::string>> list(const std::string& d) override {
    return target_.list(d);
  }
  bool exists(const std::string& p) override { return target_.exists(p); }
  bool isDirectory(const std::string& p) override { return target_.isDirectory(p); }
  bool createDirectories(const std::string& p) override { return target_.createDirectories(p); }
  std::optional<FileAttributes> attributes(const std::string& p) override {
    return target_.attributes(p);
  }
  std::optional<std::string> readFile(const std::string& p) override { return target_.readFile(p); }
  Outcome writeAtomically(const std::string& p, std::string_view d) override {
    return target_.writeAtomically(p, d);
  }
  Outcome writeOwnerOnlyAtomically(const std::string& p, std::string_view d) override {
    return target_.writeOwnerOnlyAtomically(p, d);
  }
  Outcome copyAtomically(const std::string& from, const std::string& to) override {
    return target_.copyAtomically(from, to);
  }
  bool remove(const std::string& p) override { return target_.remove(p); }
  std::unique_ptr<SequentialFile> openSequential(const std::string& p) override {
    return target_.openSequential(p);
  }

 protected:
  FileSystem& target_;
};

// Path helpers (pure text).
std::string lastPathComponent(const std::string& path);          // text after the last "/"
std::string deletingLastPathComponent(const std::string& path);  // text before the last "/"
// A user name that may be joined into a path: not empty, ".", "..", and without "/" or NUL.
bool isSafePathComponent(std::string_view name);

}  // namespace quillbox::platform
