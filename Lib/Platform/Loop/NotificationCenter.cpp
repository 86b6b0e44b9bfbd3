#include "Platform/Loop/NotificationCenter.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <vector>

#include "Platform/Process/Log.h"

namespace quillbox::platform {
namespace {
const char kObserverThrew[] = "NotificationCenter: an observer of \"%s\" raised an exception: %s";
}  // namespace

struct NotificationCenter::Impl {
  struct Observer {
    uint64_t id;
    std::string name;
    std::function<void(const Notification&)> fn;
    // Cleared by removeObserver(); checked right before each call.
    std::atomic<bool> alive{true};
  };
  std::mutex mu;
  std::vector<std::shared_ptr<Observer>> observers;  // in the order they were added
  std::atomic<uint64_t> nextId{1};
};

NotificationCenter::NotificationCenter() : impl_(std::make_unique<Impl>()) {}
NotificationCenter::~NotificationCenter() = default;

namespace {
std::atomic<NotificationCenter*> g_override{nullptr};
}  // namespace

NotificationCenter& NotificationCenter::Default() {
  if (NotificationCenter* o = g_override.load()) return *o;
  static auto* center = new NotificationCenter();  // never destroyed: threads may post at exit
  return *center;
}

NotificationCenter* NotificationCenter::setDefaultForTesting(NotificationCenter* center) {
  return g_override.exchange(center);
}

uint64_t NotificationCenter::addObserver(const std::string& name,
                                         std::function<void(const Notification&)> fn) {
  auto o = std::make_shared<Impl::Observer>();
  o->id = impl_->nextId.fetch_add(1);
  o->name = name;
  o->fn = std::move(fn);
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->observers.push_back(o);
  return o->id;
}

void NotificationCenter::removeObserver(uint64_t id) {
  std::shared_ptr<Impl::Observer> gone;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    for (auto it = impl_->observers.begin(); it != impl_->observers.end(); ++it) {
      if ((*it)->id == id) {
        gone = *it;
        impl_->observers.erase(it);
        break;
      }
    }
  }
  if (!gone) return;
  gone->alive = false;
}

void NotificationCenter::post(const std::string& name, std::any object, PlistDict userInfo) {
  post(Notification{name, std::move(object), std::move(userInfo), {}});
}

void NotificationCenter::post(const Notification& notification) {
  std::vector<std::shared_ptr<Impl::Observer>> targets;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    for (auto& o : impl_->observers) {
      if (o->name.empty() || o->name == notification.name) targets.push_back(o);
    }
  }
  for (auto& o : targets) {
    if (!o->alive) continue;
    try {
      o->fn(notification);
    } catch (const std::exception& e) {
      Log::printf(kObserverThrew, notification.name.c_str(), e.what());
    } catch (...) {
      Log::printf(kObserverThrew, notification.name.c_str(), "unknown");
    }
  }
}

}  // namespace quillbox::platform
