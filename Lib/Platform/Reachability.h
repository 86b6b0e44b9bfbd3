// Reachability: whether a host can be reached by a route at all.
//
// A UDP socket is connect()ed to each address of the host: the kernel picks a
// route (or refuses) and no packet is sent. This says nothing about whether a
// service answers there; it is the phone's "not reachable" test. The caller
// names the host.
//
// Name resolution, the one step that can take long, runs on a worker thread
// of its own; the caller waits for it at most kResolveWait. Answers are kept
// per host (addresses for kKeepResolved, a failed resolution for
// kKeepUnresolved): a caller that finds a kept answer does not wait at all, and
// one whose wait ran out takes the last kept addresses (none: not reachable)
// while the resolution goes on and fills the cache for the next call. Numeric
// addresses are never resolved. One resolution per host runs at a time.
//
// Safe for concurrent use from any thread.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quillbox::platform {

class Reachability {
 public:
  static constexpr std::chrono::milliseconds kResolveWait{2000};
  static constexpr std::chrono::seconds kKeepResolved{60};
  static constexpr std::chrono::seconds kKeepUnresolved{5};

  // True when `host` resolves and a route to one of its addresses exists.
  // Blocks at most about kResolveWait (see above).
  static bool isReachable(const std::string& host, int port);
  // isReachable() for the host and port of an http(s) URL; false when the URL
  // has no usable host.
  static bool isReachableURL(const std::string& url);
  // Host and port of an http(s) URL ("https://h:8443/3/" gives "h", 8443;
  // the scheme's default port when none is given). False when it has no host.
  static bool hostAndPort(const std::string& url, std::string* host, int* port);

  // Tests: replaces name resolution (host -> numeric addresses, nullopt when
  // the host does not resolve) and the wait; nullptr restores getaddrinfo and
  // kResolveWait. Also forgets every kept answer.
  using Resolver = std::function<std::optional<std::vector<std::string>>(const std::string& host)>;
  static void setResolverForTesting(Resolver resolver, std::chrono::milliseconds wait);
};

}  // namespace quillbox::platform
