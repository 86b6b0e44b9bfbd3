// NotificationCenter: named notifications inside one process.
//
// A post is delivered synchronously on the posting thread to every observer
// of that name (and to every observer of all names), in the order in which
// the observers were added. Observers added during a post do not receive that
// post; an observer removed during a post on the same thread is not called
// after removeObserver() has returned (a post on another thread that is about
// to call it may still do so once).
//
// NotificationCenter::Default() is the process's centre; a test installs its
// own (a fresh centre, or a NotificationCenterWrapper that watches or changes
// what passes) with setDefaultForTesting().
//
// Thread safety: safe for concurrent use from any thread. Observers are called
// without any lock held, so they may post, add and remove observers.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "PropertyList/PlistValue.h"

namespace quillbox::platform {

struct Notification {
  std::string name;
  std::any object;     // the sender's object (empty when none)
  PlistDict userInfo;  // extra information (empty when none)
  // Entries of the user information that are live objects rather than
  // property-list values (an upload task, a record), by key.
  std::map<std::string, std::any> userObjects;
};

class NotificationCenter {
 public:
  NotificationCenter();
  virtual ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // The process's default centre (lives for the whole process).
  static NotificationCenter& Default();
  // REQUIRES: center outlives its use; nullptr restores the process's centre.
  // Gives the centre installed before (nullptr: none).
  static NotificationCenter* setDefaultForTesting(NotificationCenter* center);

  // Calls fn for each post of `name` ("" = every name). Gives the observer's id (never 0).
  virtual uint64_t addObserver(const std::string& name,
                               std::function<void(const Notification&)> fn);
  // Unknown ids are ignored.
  virtual void removeObserver(uint64_t id);
  // Delivers the notification to the current observers before returning.
  void post(const std::string& name, std::any object = {}, PlistDict userInfo = {});
  virtual void post(const Notification& notification);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Forwards every call to another centre; tests override what they need.
class NotificationCenterWrapper : public NotificationCenter {
 public:
  explicit NotificationCenterWrapper(NotificationCenter& target) : target_(target) {}
  uint64_t addObserver(const std::string& name,
                       std::function<void(const Notification&)> fn) override {
    return target_.addObserver(name, std::move(fn));
  }
  void removeObserver(uint64_t id) override { target_.removeObserver(id); }
  using NotificationCenter::post;
  void post(const Notification& notification) override { target_.post(notification); }

 protected:
  NotificationCenter& target_;
};

}  // namespace quillbox::platform
