#include "Platform/Process/Threads.h"

#include <openssl/crypto.h>
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "Platform/Process/Log.h"

namespace quillbox::platform {

namespace {

const char kLogNoThread[] = "Threads: cannot start thread %s: %s";
const char kLogRaised[] = "Threads: thread %s ended by an exception: %s";

class SystemThreads final : public Threads {
 public:
  Outcome startThread(const std::string& name, std::function<void()> fn) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++live_[name];
    }
    try {
      std::thread([this, name, fn = std::move(fn)] { run(name, fn); }).detach();
    } catch (const std::system_error& e) {
      ended(name);
      Log::printf(kLogNoThread, name.c_str(), e.what());
      return Outcome::failure(e.what(), e.code().value());
    }
    return Outcome::success();
  }

  int liveThreads(const std::string& prefix) override {
    std::lock_guard<std::mutex> lock(mu_);
    return countLocked(prefix);
  }

  bool waitForThreads(const std::string& prefix, std::chrono::milliseconds timeout) override {
    std::unique_lock<std::mutex> lock(mu_);
    return changed_.wait_for(lock, timeout, [&] { return countLocked(prefix) == 0; });
  }

 private:
  void run(const std::string& name, const std::function<void()>& fn) {
    ::pthread_setname_np(::pthread_self(), name.substr(0, kMaxNameLength).c_str());
    try {
      fn();
    } catch (const std::exception& e) {
      Log::printf(kLogRaised, name.c_str(), e.what());
    }
    releaseThreadState();
    ended(name);
  }

  void ended(const std::string& name) {
    std::lock_guard<std::mutex> lock(mu_);
    if (--live_[name] == 0) live_.erase(name);
    changed_.notify_all();
  }

  // REQUIRES: mu_ held.
  int countLocked(const std::string& prefix) const {
    int n = 0;
    for (auto it = live_.lower_bound(prefix); it != live_.end(); ++it) {
      if (it->first.compare(0, prefix.size(), prefix) != 0) break;
      n += it->second;
    }
    return n;
  }

  std::mutex mu_;
  std::condition_variable changed_;
  std::map<std::string, int> live_;  // running threads by name
};

std::atomic<Threads*> g_override{nullptr};

}  // namespace

Threads& Threads::Default() {
  if (Threads* o = g_override.load()) return *o;
  static auto* system = new SystemThreads;  // outlives the threads it started
  return *system;
}

Threads* Threads::setDefaultForTesting(Threads* threads) {
  return g_override.exchange(threads);
}

void Threads::releaseThreadState() {
  OPENSSL_thread_stop();
}

}  // namespace quillbox::platform
