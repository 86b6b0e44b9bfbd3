#include "Platform/Net/Reachability.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

#include "Platform/Process/Threads.h"

namespace quillbox::platform {

namespace {

using SteadyClock = std::chrono::steady_clock;
using Addresses = std::vector<std::string>;

// One host's kept answer and its resolution in flight, if any.
struct Entry {
  std::optional<Addresses> addresses;  // the last answer (nullopt: did not resolve)
  bool answered = false;               // some resolution has ended
  SteadyClock::time_point answeredAt;
  uint64_t generation = 0;  // counts ended resolutions; waiters watch it
  bool resolving = false;
};

struct State {
  std::mutex mu;
  std::condition_variable cv;
  std::map<std::string, Entry> hosts;
  Reachability::Resolver resolver;  // empty: getaddrinfo
  std::chrono::milliseconds wait = Reachability::kResolveWait;
  std::optional<std::chrono::milliseconds> keep;  // tests: both keeping times
  uint64_t epoch = 0;  // bumped when a test resets: late workers then change nothing
};

// Never destroyed: resolution workers may still end after main() has returned.
State& state() {
  static State* s = new State();
  return *s;
}

std::optional<Addresses> systemResolve(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || !list) return std::nullopt;
  Addresses out;
  for (addrinfo* ai = list; ai; ai = ai->ai_next) {
    char text[INET6_ADDRSTRLEN] = {};
    const void* raw =
        ai->ai_family == AF_INET
            ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr)
            : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(ai->ai_addr)->sin6_addr);
    if (inet_ntop(ai->ai_family, raw, text, sizeof text)) out.emplace_back(text);
  }
  freeaddrinfo(list);
  return out;
}

bool isNumeric(const std::string& host) {
  unsigned char buf[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// A route to one of the numeric addresses exists.
bool routeExists(const Addresses& addresses, int port) {
  const std::string service = std::to_string(port);
  for (const std::string& address : addresses) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* list = nullptr;
    if (getaddrinfo(address.c_str(), service.c_str(), &hints, &list) != 0 || !list) continue;
    bool reachable = false;
    for (addrinfo* ai = list; ai && !reachable; ai = ai->ai_next) {
      int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
      if (fd < 0) continue;
      // connect() on a datagram socket only picks a route: nothing is sent.
      if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) reachable = true;
      close(fd);
    }
    freeaddrinfo(list);
    if (reachable) return true;
  }
  return false;
}

// Starts a resolution of `host` unless one runs. REQUIRES: s.mu held.
void startResolution(State& s, const std::string& host) {
  Entry& e = s.hosts[host];
  if (e.resolving) return;
  e.resolving = true;
  Reachability::Resolver resolver = s.resolver;
  const uint64_t epoch = s.epoch;
  auto work = [&s, host, resolver, epoch] {
    std::optional<Addresses> found = resolver ? resolver(host) : systemResolve(host);
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.epoch != epoch) return;
    Entry& done = s.hosts[host];
    done.addresses = std::move(found);
    done.answered = true;
    done.answeredAt = SteadyClock::now();
    ++done.generation;
    done.resolving = false;
    s.cv.notify_all();
  };
  // No thread: the caller goes on with what is kept.
  if (!Threads::Default().startThread("resolve", work)) e.resolving = false;
}

bool fresh(const State& s, const Entry& e, SteadyClock::time_point now) {
  if (!e.answered) return false;
  std::chrono::milliseconds keep =
      s.keep ? *s.keep
             : std::chrono::milliseconds(e.addresses ? Reachability::kKeepResolved
                                                     : Reachability::kKeepUnresolved);
  return now - e.answeredAt < keep;
}

// When a wait is needed at all.
enum class Wait {
  Unanswered,  // only for a host never answered: a stale answer is used at once
  Stale,       // also for an answer past its keeping time
};

// The host's addresses: kept, or resolved within the wait, or the last kept
// ones when the wait ran out. A stale answer is refreshed behind the caller.
std::optional<Addresses> addressesOf(const std::string& host, Wait when) {
  if (isNumeric(host)) return Addresses{host};
  State& s = state();
  std::unique_lock<std::mutex> lock(s.mu);
  Entry& e = s.hosts[host];
  if (fresh(s, e, SteadyClock::now())) return e.addresses;
  const uint64_t seen = e.generation;
  startResolution(s, host);
  if (e.answered && when == Wait::Unanswered) return e.addresses;
  s.cv.wait_for(lock, s.wait, [&] { return s.hosts[host].generation != seen; });
  return s.hosts[host].addresses;
}

// Name resolution on worker threads, routes asked of the kernel.
class SystemReachability final : public Reachability {
 public:
  bool isReachable(const std::string& host, int port) override;
  bool resolve(const std::string& host) override;
  void resolveAhead(const std::string& host) override;
};

std::atomic<Reachability*> g_override{nullptr};

}  // namespace

Reachability& Reachability::Default() {
  if (Reachability* o = g_override.load()) return *o;
  static auto* system = new SystemReachability;
  return *system;
}

Reachability* Reachability::setDefaultForTesting(Reachability* r) {
  return g_override.exchange(r);
}

bool SystemReachability::isReachable(const std::string& host, int port) {
  if (host.empty() || port <= 0 || port > 65535) return false;
  auto addresses = addressesOf(host, Wait::Unanswered);
  return addresses && routeExists(*addresses, port);
}

bool SystemReachability::resolve(const std::string& host) {
  if (host.empty()) return false;
  auto addresses = addressesOf(host, Wait::Stale);
  return addresses && !addresses->empty();
}

void SystemReachability::resolveAhead(const std::string& host) {
  if (host.empty() || isNumeric(host)) return;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  if (!fresh(s, s.hosts[host], SteadyClock::now())) startResolution(s, host);
}

bool Reachability::isReachableURL(const std::string& url) {
  std::string host;
  int port = 0;
  return hostAndPort(url, &host, &port) && isReachable(host, port);
}

void Reachability::setResolverForTesting(Resolver resolver, std::chrono::milliseconds wait,
                                         std::optional<std::chrono::milliseconds> keep) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.resolver = std::move(resolver);
  s.wait = s.resolver ? wait : kResolveWait;
  s.keep = s.resolver ? keep : std::nullopt;
  s.hosts.clear();
  ++s.epoch;
  s.cv.notify_all();
}

bool Reachability::hostAndPort(const std::string& url, std::string* host, int* port) {
  size_t schemeEnd = url.find("://");
  if (schemeEnd == std::string::npos) return false;
  std::string scheme = url.substr(0, schemeEnd);
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  int defaultPort = scheme == "https" ? 443 : scheme == "http" ? 80 : 0;
  if (defaultPort == 0) return false;
  std::string authority = url.substr(schemeEnd + 3);
  size_t end = authority.find_first_of("/?#");
  if (end != std::string::npos) authority = authority.substr(0, end);
  size_t at = authority.rfind('@');
  if (at != std::string::npos) authority = authority.substr(at + 1);
  std::string h;
  std::string portText;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    h = authority.substr(1, close - 1);
    if (close + 1 < authority.size() && authority[close + 1] == ':')
      portText = authority.substr(close + 2);
  } else {
    size_t colon = authority.find(':');
    h = authority.substr(0, colon);
    if (colon != std::string::npos) portText = authority.substr(colon + 1);
  }
  if (h.empty()) return false;
  int p = defaultPort;
  if (!portText.empty()) {
    char* endp = nullptr;
    long v = std::strtol(portText.c_str(), &endp, 10);
    if (*endp != '\0' || v <= 0 || v > 65535) return false;
    p = static_cast<int>(v);
  }
  *host = h;
  *port = p;
  return true;
}

}  // namespace quillbox::platform
