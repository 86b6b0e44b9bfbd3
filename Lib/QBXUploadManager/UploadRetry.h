// UploadRetry: a confirmed upload comes back until the service has the file.
//
// Where the mark lives: the file's upload-state record ("com.velmor.upinfo.plist",
// UploadStateRecord). The manager writes it when it queues a confirmed file
// (state 6), the task rewrites it at every step, and its "state" is 2 only once
// the service has taken the whole file. So a record of the current user whose
// "state" is not 2 is a file the person confirmed and the service does not
// hold yet: the mark survives the process without a key of its own, and the
// client application reads nothing new. (A record left at 5, a preparation
// that never ended, is skipped by the manager's batch and so not resumed.)
//
// Once enabled (the daemon does; the widget and the tools do not), every
// failed upload of the manager (preparation refused or unreachable, upload
// refused, cut or not started) is tried again: after 2 seconds, then after
// twice the previous wait, up to 5 minutes between tries, until it finishes.
// Each try builds the file's record anew (tamper check included) and hands it
// to the manager's batch, which resumes at the length the service holds; a
// file that is gone or no longer matches its record is given up with a log
// line. After a refusal the session is renewed (automatic login) before the
// next try. resumePending() takes up, at start, every file a previous run
// left unfinished.
//
// The person is told of a file's first failure only (the manager's and the
// capture notice's usual texts); later failures of a file being retried, and
// failures of resumed files, are log lines. Its completion shows the
// manager's finish message as any upload does.
//
// The waits run on threads of their own ("retry-upload", through
// Threads::Default()) that sleep with Clock::Default() and hand the try to the
// main thread; tests replace both. Threads: every operation but enabled() on
// the main thread; the main thread runs its RunLoop.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>

#include "QBXUploadManager/QBXUploadManager.h"

namespace quillbox {

class UploadRetry {
 public:
  static constexpr std::chrono::seconds kFirstWait{2};
  static constexpr std::chrono::seconds kLongestWait{300};
  static constexpr const char* kThreadName = "retry-upload";

  UploadRetry(const UploadRetry&) = delete;
  UploadRetry& operator=(const UploadRetry&) = delete;

  // The process-wide instance; never destroyed.
  static UploadRetry& shared();

  // From now on failed uploads of the shared manager come back. Main thread.
  void enable();
  // Whether enable() was called. Any thread.
  bool enabled() const;
  // Queues a try, at once, of every upload-state record of the current user
  // whose state is neither 2 (finished) nor 5 (see above); they count as
  // told. Gives how many. Main thread; nothing without enable().
  int resumePending();

  // Whether a try of the file at `path` is scheduled or running (its failures
  // are not shown to the person again). Main thread.
  bool isRetrying(const std::string& path) const;
  // The manager's report of a task's end (Failed, Finished, Stopped; Progress
  // is ignored). Main thread.
  void uploadEnded(const UploadEvent& event);

  // Forgets every file and disables (tests only; waits already sleeping find
  // their file gone and do nothing).
  void resetForTesting();

 private:
  struct Entry {
    int32_t kind = 0;
    std::chrono::seconds wait{kFirstWait};
    uint64_t generation = 0;
    bool renewSession = false;
  };
  UploadRetry() = default;
  void schedule(const std::string& path, const std::string& reason);
  void attempt(const std::string& path, uint64_t generation);

  std::atomic<bool> enabled_{false};
  std::map<std::string, Entry> entries_;
};

}  // namespace quillbox
