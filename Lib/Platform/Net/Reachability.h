// Reachability: whether a host can be reached by a route at all.
//
// A UDP socket is connect()ed to each address of the host: the kernel picks a
// route (or refuses) and no packet is sent. This says nothing about whether a
// service answers there; it is the phone's "not reachable" test. The caller
// names the host.
//
// Name resolution, the one step that can take long, runs on a worker thread
// of its own, and its answers are kept per host (addresses for kKeepResolved,
// a failed resolution for kKeepUnresolved). isReachable() never waits once a
// host has been answered: a kept answer is used, and one past its keeping time
// is used while a fresh resolution runs behind it. Only a host never answered
// makes the caller wait, at most kResolveWait (none in time: not reachable).
// Callers that must not stall their thread's run loop call resolve() first on
// a worker (the upload preparation does), or resolveAhead() early. Numeric
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
  // Waits only for a host never answered, at most about kResolveWait.
  static bool isReachable(const std::string& host, int port);
  // Resolves `host` unless a fresh answer is kept, waiting at most about
  // kResolveWait; true when addresses are known afterwards. For workers.
  static bool resolve(const std::string& host);
  // Starts resolving `host` unless a fresh answer is kept or a resolution
  // runs; never waits.
  static void resolveAhead(const std::string& host);
  // isReachable() for the host and port of an http(s) URL; false when the URL
  // has no usable host.
  static bool isReachableURL(const std::string& url);
  // Host and port of an http(s) URL ("https://h:8443/3/" gives "h", 8443;
  // the scheme's default port when none is given). False when it has no host.
  static bool hostAndPort(const std::string& url, std::string* host, int* port);

  // Tests: replaces name resolution (host -> numeric addresses, nullopt when
  // the host does not resolve), the wait and how long answers count as fresh;
  // nullptr restores getaddrinfo, kResolveWait and the keeping times. Also
  // forgets every kept answer.
  using Resolver = std::function<std::optional<std::vector<std::string>>(const std::string& host)>;
  static void setResolverForTesting(Resolver resolver, std::chrono::milliseconds wait,
                                    std::optional<std::chrono::milliseconds> keep = std::nullopt);
};

}  // namespace quillbox::platform
