// Small helpers shared by the unit tests.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
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

// A private D-Bus session bus in `dir` (dbus-daemon, any name may be owned,
// eavesdropping allowed), stopped when the object goes. ok() is false when the
// daemon did not start; address() is what DBUS_SESSION_BUS_ADDRESS takes.
class PrivateSessionBus {
 public:
  explicit PrivateSessionBus(const TempDir& dir) {
    writeFile(dir.file("bus.conf"),
              "<busconfig><type>session</type><listen>unix:path=" + dir.file("bus") +
                  "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                  "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                  "<allow own=\"*\"/></policy></busconfig>");
    FILE* p = ::popen(("dbus-daemon --config-file=" + dir.file("bus.conf") +
                       " --fork --print-address=1 --print-pid=1")
                          .c_str(),
                      "r");
    if (!p) return;
    char address[512] = {}, pid[32] = {};
    const bool read = std::fgets(address, sizeof address, p) && std::fgets(pid, sizeof pid, p);
    ::pclose(p);
    if (!read) return;
    address_ = address;
    address_.erase(address_.find_last_not_of('\n') + 1);
    pid_ = std::atoi(pid);
  }
  ~PrivateSessionBus() {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
  }
  PrivateSessionBus(const PrivateSessionBus&) = delete;
  PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;
  bool ok() const { return pid_ > 0 && !address_.empty(); }
  const std::string& address() const { return address_; }

 private:
  std::string address_;
  int pid_ = 0;
};
