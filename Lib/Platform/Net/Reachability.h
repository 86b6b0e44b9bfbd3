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
// Reachability::Default() is the system's; tests install a double (often a
// ReachabilityWrapper) with setDefaultForTesting(). Safe for concurrent use
// from any thread.
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

  Reachability() = default;
  Reachability(const Reachability&) = delete;
  Reachability& operator=(const Reachability&) = delete;
  virtual ~Reachability() = default;

  // The process-wide instance (the system's unless a test replaced it).
  static Reachability& Default();
  // REQUIRES: r outlives its use; nullptr restores the system's. Gives the
  // double installed before (nullptr: none).
  static Reachability* setDefaultForTesting(Reachability* r);

  // True when `host` resolves and a route to one of its addresses exists.
  // Waits only for a host never answered, at most about kResolveWait.
  virtual bool isReachable(const std::string& host, int port) = 0;
  // Resolves `host` unless a fresh answer is kept, waiting at most about
  // kResolveWait; true when addresses are known afterwards. For workers.
  virtual bool resolve(const std::string& host) = 0;
  // Starts resolving `host` unless a fresh answer is kept or a resolution
  // runs; never waits.
  virtual void resolveAhead(const std::string& host) = 0;
  // isReachable() for the host and port of an http(s) URL; false when the URL
  // has no usable host.
  bool isReachableURL(const std::string& url);
  // Host and port of an http(s) URL ("https://h:8443/3/" gives "h", 8443;
  // the scheme's default port when none is given). False when it has no host.
  static bool hostAndPort(const std::string& url, std::string* host, int* port);

  // Tests of the system's instance: replaces its name resolution (host -> numeric addresses,
  // nullopt when the host does not resolve), the wait and how long answers count as fresh; nullptr
  // restores getaddrinfo, kResolveWait and the keeping times. Also forgets every kept answer.
  using Resolver = std::function<std::optional<std::vector<std::string>>(const std::string& host)>;
  static void setResolverForTesting(Resolver resolver, std::chrono::milliseconds wait,
                                    std::optional<std::chrono::milliseconds> keep = std::nullopt);
};

// Forwards every call to another instance; tests override what they need.
class ReachabilityWrapper : public Reachability {
 public:
  explicit ReachabilityWrapper(Reachability& target) : target_(target) {}
  bool isReachable(const std::string& host, int port) override {
    return target_.isReachable(host, port);
  }
  bool resolve(const std::string& host) override { return target_.resolve(host); }
  void resolveAhead(const std::string& host) override { target_.resolveAhead(host); }

 protected:
  Reachability& target_;
};

}  // namespace quillbox::platform
