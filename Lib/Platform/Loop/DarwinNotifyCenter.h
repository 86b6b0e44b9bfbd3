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
// Thread safety: safe for concurrent use from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quillbox::platform {

class DarwinNotifyCenter {
 public:
  DarwinNotifyCenter();
  ~DarwinNotifyCenter();  // removes the sockets of the observers still registered
  DarwinNotifyCenter(const DarwinNotifyCenter&) = delete;
  DarwinNotifyCenter& operator=(const DarwinNotifyCenter&) = delete;

  static DarwinNotifyCenter& shared();

  // Sends `name` to every current observer of it, in any process of this user.
  // Gives true when the rendezvous folder could be used (also with no
  // observers), false (with a log line) when it could not or the name is
  // empty or longer than kMaxNameLength bytes.
  bool post(const std::string& name);

  // Calls callback(name) on the main run loop for each post of `name`.
  // Gives the observer's id, or 0 (with a log line) when the socket could not
  // be made.
  uint64_t addObserver(const std::string& name,
                       std::function<void(const std::string& name)> callback);
  // Closes the observer's socket; no call of it starts after this returns.
  // Unknown ids are ignored.
  void removeObserver(uint64_t id);

  static constexpr size_t kMaxNameLength = 1024;

  // The file-name prefix shared by all sockets observing `name` (for tests and tools).
  static std::string socketPrefix(const std::string& name);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillbox::platform
