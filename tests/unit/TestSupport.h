// Small helpers shared by the unit tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>

#include "Platform/Process/Threads.h"

// True when the environment says this is a CI run (CI=true).
inline bool inCI() {
  const char* v = std::getenv("CI");
  if (!v) return false;
  std::string_view s(v);
  return s == "true" || s == "TRUE" || s == "True" || s == "1" || s == "yes";
}

// A prerequisite of the test (a peer program, a module) is missing: the test
// is skipped with the reason, except under CI=true, where it fails, so CI
// never passes without running it. Only for what is missing, never for a
// helper that ran and failed (that is a failure everywhere).
#define PREREQUISITE_MISSING(reason)                                        \
  do {                                                                      \
    if (inCI()) FAIL() << "prerequisite missing under CI=true: " << reason; \
    GTEST_SKIP() << reason;                                                 \
  } while (0)

// Installs a test double as T::Default() for the life of the scope and puts
// back what was installed before (T is a platform service with
// setDefaultForTesting() that gives the previous double).
template <class T>
class ScopedDefault {
 public:
  explicit ScopedDefault(T& replacement) : previous_(T::setDefaultForTesting(&replacement)) {}
  ~ScopedDefault() { T::setDefaultForTesting(previous_); }
  ScopedDefault(const ScopedDefault&) = delete;
  ScopedDefault& operator=(const ScopedDefault&) = delete;

 private:
  T* previous_;
};

// A Threads double for the threads whose name begins with `prefix`: counts
// them and runs each inline (Mode::Inline) or not at all (Mode::Drop); every
// other thread starts as usual.
class ThreadsFor : public quillbox::platform::ThreadsWrapper {
 public:
  enum class Mode { Drop, Inline };
  ThreadsFor(std::string prefix, Mode mode)
      : ThreadsWrapper(quillbox::platform::Threads::Default()),
        prefix_(std::move(prefix)),
        mode_(mode) {}
  quillbox::platform::Outcome startThread(const std::string& name,
                                          std::function<void()> fn) override {
    if (name.compare(0, prefix_.size(), prefix_) != 0)
      return target_.startThread(name, std::move(fn));
    ++started;
    if (mode_ == Mode::Inline) fn();
    return quillbox::platform::Outcome::success();
  }
  std::atomic<int> started{0};

 private:
  std::string prefix_;
  Mode mode_;
};

// A fresh folder under /tmp, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/qb-test.XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  // Never throws: a helper process (a bus daemon) may still be removing its
  // own files in here; a second pass takes what the first one raced with.
  ~TempDir() {
    std::error_code ec;
    if (std::filesystem::remove_all(path_, ec) == static_cast<std::uintmax_t>(-1))
      std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}
