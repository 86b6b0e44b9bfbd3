// Small helpers shared by the unit tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

// A fresh folder under /tmp, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/qb-test.XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
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

// True under CI=true, where a missing prerequisite is a failure, not a skip.
inline bool runningInCI() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

// Ends the test for a missing prerequisite: a visible skip, or a failure in CI.
#define QB_SKIP_OR_FAIL(reason) \
  do {                          \
    if (runningInCI()) {        \
      FAIL() << (reason);       \
    } else {                    \
      GTEST_SKIP() << (reason); \
    }                           \
  } while (0)
