// DarwinNotifyCenter: payload-free notifications between processes.
//
// Any process may post a name; every process observing that name is called
// on its MAIN run loop (RunLoop::main()), once per post that reached it.
// The rendezvous is the folder Environment::notifyDir(), private to the user
// (created 0700): each observer binds a Unix datagram socket there whose file
// name carries a readable form and a hash of the observed name; a post sends
// the name to every socket with that hash and removes sockets whose owner has
// gone (connection refused). Receivers check the name itself, so a hash
// collision never delivers a wrong name. Only names that reach the observer's
// socket while it exists are delivered; nothing is queued for later observers.
//
// DarwinNotifyCenter::Default() is the process's centre; tests install a
// double (often a DarwinNotifyCenterWrapper) with setDefaultForTesting().
//
// Thread safety: safe for concurrent use from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace quillbox::platform {

class DarwinNotifyCenter {
 public:
  DarwinNotifyCenter();
  virtual ~DarwinNotifyCenter();  // removes the sockets of the observers still registered
  DarwinNotifyCenter(const DarwinNotifyCenter&) = delete;
  DarwinNotifyCenter& operator=(const DarwinNotifyCenter&) = delete;

  static DarwinNotifyCenter& Default();
  // REQUIRES: center outlives its use; nullptr restores the process's centre.
  // Gives the centre installed before (nullptr: none).
  static DarwinNotifyCenter* setDefaultForTesting(DarwinNotifyCenter* center);

  // Sends `name` to every current observer of it, in any process of this user.
  // Gives true when the rendezvous folder could be used (also with no
  // observers), false (with a log line) when it could not or the name is
  // empty or longer than kMaxNameLength bytes. `delivered` (may be null)
  // receives how many observers the name reached: 0 when nobody observes it.
  virtual bool post(const std::string& name, int* delivered);
  bool post(const std::string& name) { return post(name, nullptr); }

  // Calls callback(name) on the main run loop for each post of `name`.
  // Gives the observer's id, or 0 (with a log line) when the socket could not
  // be made.
  virtual uint64_t addObserver(const std::string& name,
                               std::function<void(const std::string& name)> callback);
  // Closes the observer's socket; no call of it starts after this returns.
  // Unknown ids are ignored.
  virtual void removeObserver(uint64_t id);

  static constexpr size_t kMaxNameLength = 1024;

  // The file-name prefix shared by all sockets observing `name` (for tests and tools).
  static std::string socketPrefix(const std::string& name);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Forwards every call to another centre; tests override what they need.
class DarwinNotifyCenterWrapper : public DarwinNotifyCenter {
 public:
  explicit DarwinNotifyCenterWrapper(DarwinNotifyCenter& target) : target_(target) {}
  using DarwinNotifyCenter::post;
  bool post(const std::string& name, int* delivered) override {
    return target_.post(name, delivered);
  }
  uint64_t addObserver(const std::string& name,
                       std::function<void(const std::string& name)> callback) override {
    return target_.addObserver(name, std::move(callback));
  }
  void removeObserver(uint64_t id) override { target_.removeObserver(id); }

 protected:
  DarwinNotifyCenter& target_;
};

}  // namespace quillbox::platform
