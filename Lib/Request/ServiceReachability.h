// ServiceReachability: whether the service's host can be reached by a route.
//
// The host and port come from the API base URL ("url" of the client
// application's local plist "com.velmor.loacal.plist"), read afresh on every
// call; the test itself is platform::Reachability's (no packet is sent; only
// a host never answered makes a check wait, a bounded time). Stateless; safe
// from any thread.
#pragma once

#include <optional>
#include <string>

namespace quillbox {

class ServiceReachability {
 public:
  // False when the plist, its "url" or a usable host is missing, or when no
  // route to the host exists.
  static bool isServiceReachable();
  // Why the service's address can't be used, for a log line ("no container",
  // "PATH is missing", "PATH can't be read", "PATH has no \"url\"", "\"URL\"
  // names no host"); nullopt when it can.
  static std::optional<std::string> serviceAddressProblem();
  // Resolves the service host on the calling thread (bounded wait) unless a
  // fresh answer is kept, so that a later check on the main loop does not
  // wait. For workers; nothing happens without a usable URL.
  static void resolveServiceHost();
};

}  // namespace quillbox
