// Small helpers shared by the unit tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

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
