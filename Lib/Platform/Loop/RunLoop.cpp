#include "Platform/Loop/RunLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "Platform/Process/Log.h"

namespace quillbox::platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

const char kRunOffThread[] = "RunLoop: run() called on a thread that does not own the loop";
const char kCallbackThrew[] = "RunLoop: a callback raised an exception: %s";
const char kBadFdSource[] = "RunLoop: fd source %d is not an open descriptor; removed";
const char kEventFdFailed[] = "RunLoop: eventfd failed (errno %d)";

// Callbacks must not let an exception escape into the loop; log and go on.
void callSafely(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    Log::printf(kCallbackThrew, e.what());
  } catch (...) {
    Log::printf(kCallbackThrew, "unknown");
  }
}

std::atomic<uint64_t> gNextId{1};

}  // namespace

struct RunLoop::Impl {
  struct Frame {
    bool stopped = false;
  };
  struct Timer {
    SteadyClock::time_point due;
    std::chrono::milliseconds interval;
    bool repeats;
    std::shared_ptr<std::function<void()>> fn;
    bool firing = false;
  };
  struct Source {
    int fd;
    std::shared_ptr<std::function<void()>> fn;
    bool firing = false;
  };

  explicit Impl(long tid) : ownerTid(tid) {
    wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) Log::printf(kEventFdFailed, errno);
  }
  ~Impl() {
    if (wakeFd >= 0) ::close(wakeFd);
  }

  void wake() {
    if (wakeFd < 0) return;
    uint64_t one = 1;
    ssize_t n = ::write(wakeFd, &one, sizeof one);
    (void)n;  // EAGAIN means the counter is already non-zero: the loop wakes anyway.
  }
  void drainWake() {
    uint64_t v;
    while (::read(wakeFd, &v, sizeof v) > 0) {
    }
  }

  const long ownerTid;
  int wakeFd = -1;
  mutable std::mutex mu;
  std::deque<std::function<void()>> performs;
  std::map<uint64_t, Timer> timers;
  std::map<uint64_t, Source> sources;
  std::vector<Frame*> frames;  // active runs, innermost last
  bool pendingStop = false;
};

RunLoop::RunLoop(long ownerTid) : impl_(std::make_unique<Impl>(ownerTid)) {}
RunLoop::~RunLoop() = default;

// ---- loop registry -------------------------------------------------------

namespace {

std::mutex& registryMutex() {
  static std::mutex m;
  return m;
}
// Kernel thread id of the main thread; 0 = the initial thread (tid == pid).
std::atomic<long> gMainTid{0};
long mainTid() {
  long t = gMainTid.load();
  return t != 0 ? t : static_cast<long>(::getpid());
}
// The main loop, kept for the whole process (never destroyed, so detached
// threads may still post to it while the process exits).
std::shared_ptr<RunLoop>& mainLoopSlot() {
  static auto* slot = new std::shared_ptr<RunLoop>();
  return *slot;
}
thread_local std::shared_ptr<RunLoop> tLoop;

}  // namespace

std::shared_ptr<RunLoop> RunLoop::currentShared() {
  if (tLoop) return tLoop;
  long tid = ::gettid();
  std::lock_guard<std::mutex> lock(registryMutex());
  auto& slot = mainLoopSlot();
  if (tid == mainTid()) {
    if (!slot) slot.reset(new RunLoop(tid));
    tLoop = slot;
  } else {
    tLoop.reset(new RunLoop(tid));
  }
  return tLoop;
}

RunLoop& RunLoop::current() {
  return *currentShared();
}

RunLoop& RunLoop::main() {
  std::lock_guard<std::mutex> lock(registryMutex());
  auto& slot = mainLoopSlot();
  if (!slot) slot.reset(new RunLoop(mainTid()));
  return *slot;
}

void RunLoop::markMainThread() {
  long tid = ::gettid();
  std::shared_ptr<RunLoop> mine = currentShared();
  std::lock_guard<std::mutex> lock(registryMutex());
  gMainTid.store(tid);
  auto& slot = mainLoopSlot();
  if (slot.get() != mine.get()) slot = mine;
}

bool RunLoop::isMainThread() {
  return ::gettid() == mainTid();
}

// ---- running -------------------------------------------------------------

void RunLoop::run() {
  runUntil({}, false);
}

bool RunLoop::runFor(std::chrono::milliseconds d) {
  return runUntil(SteadyClock::now() + d, true);
}

bool RunLoop::isRunning() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return !impl_->frames.empty();
}

bool RunLoop::runUntil(SteadyClock::time_point deadline, bool hasDeadline) {
  Impl& s = *impl_;
  if (::gettid() != s.ownerTid) {
    Log::line(kRunOffThread);
    return false;
  }
  Impl::Frame frame;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.pendingStop) {
      s.pendingStop = false;
      return true;
    }
    s.frames.push_back(&frame);
  }
  auto stopped = [&] {
    std::lock_guard<std::mutex> lock(s.mu);
    return frame.stopped;
  };

  std::vector<pollfd> pfds;
  std::vector<uint64_t> pollIds;  // source id of pfds[i + 1]
  bool result = false;
  for (;;) {
    if (stopped()) {
      result = true;
      break;
    }
    SteadyClock::time_point now = SteadyClock::now();
    if (hasDeadline && now >= deadline) break;

    // Gather what to wait for.
    pfds.clear();
    pollIds.clear();
    pfds.push_back({s.wakeFd, POLLIN, 0});
    bool havePerforms;
    std::optional<SteadyClock::time_point> wakeAt;
    {
      std::lock_guard<std::mutex> lock(s.mu);
      havePerforms = !s.performs.empty();
      for (auto& [id, t] : s.timers) {
        if (t.firing) continue;
        if (!wakeAt || t.due < *wakeAt) wakeAt = t.due;
      }
      for (auto& [id, src] : s.sources) {
        if (src.firing) continue;
        pfds.push_back({src.fd, POLLIN, 0});
        pollIds.push_back(id);
      }
    }
    if (hasDeadline && (!wakeAt || deadline < *wakeAt)) wakeAt = deadline;
    int timeoutMs = -1;
    if (havePerforms) {
      timeoutMs = 0;
    } else if (wakeAt) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(*wakeAt - now).count();
      timeoutMs = static_cast<int>(std::clamp<long long>(left, 0, 60 * 60 * 1000));
    }

    int n = ::poll(pfds.data(), pfds.size(), timeoutMs);
    if (n < 0 && errno != EINTR) {
      // Should not happen; avoid spinning on a persistent failure.
      ::usleep(1000);
    }
    if (n > 0 && (pfds[0].revents & POLLIN)) s.drainWake();

    // 1. Performed functions queued so far, one at a time, so that a nested
    // run inside one of them continues with the next in order.
    size_t budget;
    {
      std::lock_guard<std::mutex> lock(s.mu);
      budget = s.performs.size();
    }
    bool stopNow = false;
    while (budget-- > 0) {
      std::function<void()> fn;
      {
        std::lock_guard<std::mutex> lock(s.mu);
        if (s.performs.empty()) break;
        fn = std::move(s.performs.front());
        s.performs.pop_front();
      }
      callSafely(fn);
      if (stopped()) {
        stopNow = true;
        break;
      }
    }
    if (stopNow) continue;

    // 2. Timers that are due, earliest first.
    now = SteadyClock::now();
    std::vector<std::pair<SteadyClock::time_point, uint64_t>> due;
    {
      std::lock_guard<std::mutex> lock(s.mu);
      for (auto& [id, t] : s.timers) {
        if (!t.firing && t.due <= now) due.emplace_back(t.due, id);
      }
    }
    std::sort(due.begin(), due.end());
    for (auto& [when, id] : due) {
      std::shared_ptr<std::function<void()>> fn;
      {
        std::lock_guard<std::mutex> lock(s.mu);
        auto it = s.timers.find(id);
        if (it == s.timers.end() || it->second.firing) continue;
        fn = it->second.fn;
        if (it->second.repeats) {
          it->second.firing = true;
          // Fires missed while the thread was busy are skipped, not bunched.
          auto next = it->second.due + it->second.interval;
          if (next <= now) next = now + it->second.interval;
          it->second.due = next;
        } else {
          s.timers.erase(it);
        }
      }
      callSafely(*fn);
      {
        std::lock_guard<std::mutex> lock(s.mu);
        auto it = s.timers.find(id);
        if (it != s.timers.end()) it->second.firing = false;
      }
      if (stopped()) {
        stopNow = true;
        break;
      }
    }
    if (stopNow) continue;

    // 3. Readable descriptors.
    if (n <= 0) continue;
    for (size_t i = 1; i < pfds.size(); ++i) {
      short re = pfds[i].revents;
      if (re == 0) continue;
      uint64_t id = pollIds[i - 1];
      std::shared_ptr<std::function<void()>> fn;
      {
        std::lock_guard<std::mutex> lock(s.mu);
        auto it = s.sources.find(id);
        if (it == s.sources.end() || it->second.firing) continue;
        if (re & POLLNVAL) {
          Log::printf(kBadFdSource, it->second.fd);
          s.sources.erase(it);
          continue;
        }
        it->second.firing = true;
        fn = it->second.fn;
      }
      callSafely(*fn);
      {
        std::lock_guard<std::mutex> lock(s.mu);
        auto it = s.sources.find(id);
        if (it != s.sources.end()) it->second.firing = false;
      }
      if (stopped()) break;
    }
  }

  std::lock_guard<std::mutex> lock(s.mu);
  auto it = std::find(s.frames.begin(), s.frames.end(), &frame);
  if (it != s.frames.end()) s.frames.erase(it);
  return result;
}

void RunLoop::stop() {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (impl_->frames.empty()) {
      impl_->pendingStop = true;
    } else {
      impl_->frames.back()->stopped = true;
    }
  }
  impl_->wake();
}

// ---- work ----------------------------------------------------------------

uint64_t RunLoop::addTimer(std::chrono::milliseconds interval, bool repeats,
                           std::function<void()> fn) {
  if (interval.count() < 0) interval = std::chrono::milliseconds(0);
  if (repeats && interval.count() < 1) interval = std::chrono::milliseconds(1);
  uint64_t id = gNextId.fetch_add(1);
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->timers.emplace(
        id, Impl::Timer{SteadyClock::now() + interval, interval, repeats,
                        std::make_shared<std::function<void()>>(std::move(fn)), false});
  }
  impl_->wake();
  return id;
}

void RunLoop::cancelTimer(uint64_t id) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->timers.erase(id);
}

uint64_t RunLoop::addFdSource(int fd, std::function<void()> onReadable) {
  uint64_t id = gNextId.fetch_add(1);
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->sources.emplace(
        id,
        Impl::Source{fd, std::make_shared<std::function<void()>>(std::move(onReadable)), false});
  }
  impl_->wake();
  return id;
}

void RunLoop::removeFdSource(uint64_t id) {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->sources.erase(id);
  }
  impl_->wake();
}

void RunLoop::perform(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->performs.push_back(std::move(fn));
  }
  impl_->wake();
}

void performOnMainThread(std::function<void()> fn, bool waitUntilDone) {
  if (!waitUntilDone) {
    RunLoop::main().perform(std::move(fn));
    return;
  }
  if (RunLoop::isMainThread()) {
    callSafely(fn);
    return;
  }
  struct Done {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
  };
  auto done = std::make_shared<Done>();
  RunLoop::main().perform([done, fn = std::move(fn)] {
    callSafely(fn);
    std::lock_guard<std::mutex> lock(done->mu);
    done->done = true;
    done->cv.notify_all();
  });
  std::unique_lock<std::mutex> lock(done->mu);
  done->cv.wait(lock, [&] { return done->done; });
}

}  // namespace quillbox::platform
