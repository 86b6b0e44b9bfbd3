// Small helpers shared by the unit tests.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "AppURL.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
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

// Settings (see Environment) changed for the life of the object: each comes
// back to the value it had when the object goes.
class ScopedSettings {
 public:
  ScopedSettings() = default;
  ScopedSettings(const ScopedSettings&) = delete;
  ScopedSettings& operator=(const ScopedSettings&) = delete;
  ~ScopedSettings() {
    for (const auto& [name, value] : saved_) quillbox::platform::Environment::set(name, value);
  }
  void set(const std::string& name, const std::string& value) {
    saved_.try_emplace(name, quillbox::platform::Environment::get(name));
    quillbox::platform::Environment::set(name, value);
  }

 private:
  std::map<std::string, std::string> saved_;
};

// The client container the process holds (AppURL) while the object lives;
// none once it goes.
class ScopedContainer {
 public:
  ScopedContainer() = default;
  explicit ScopedContainer(const std::string& dir) { set(dir); }
  ScopedContainer(const ScopedContainer&) = delete;
  ScopedContainer& operator=(const ScopedContainer&) = delete;
  ~ScopedContainer() { quillbox::AppURL::sharedAppURL().setAppURL(""); }
  void set(const std::string& dir) { quillbox::AppURL::sharedAppURL().setAppURL(dir); }
};

// Every log line also goes to `sink` while the object lives.
class ScopedLogSink {
 public:
  explicit ScopedLogSink(std::function<void(const std::string&)> sink) {
    quillbox::platform::Log::setSinkForTesting(std::move(sink));
  }
  ScopedLogSink(const ScopedLogSink&) = delete;
  ScopedLogSink& operator=(const ScopedLogSink&) = delete;
  ~ScopedLogSink() { quillbox::platform::Log::setSinkForTesting(nullptr); }
};

// Runs `undo` when the object goes: for a switch a test turns (a mode, a
// staged fault) that must be off again for the next test.
class AtScopeEnd {
 public:
  explicit AtScopeEnd(std::function<void()> undo) : undo_(std::move(undo)) {}
  AtScopeEnd(const AtScopeEnd&) = delete;
  AtScopeEnd& operator=(const AtScopeEnd&) = delete;
  ~AtScopeEnd() { undo_(); }

 private:
  std::function<void()> undo_;
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
