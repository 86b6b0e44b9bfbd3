// Reachability: whether the service can be reached by a route at all.
//
// A UDP socket is connect()ed to the resolved address: the kernel picks a
// route (or refuses) and no packet is sent. This says nothing about whether the
// service answers; it is the phone's "not reachable" test. Safe for concurrent
// use from any thread; each call blocks for the name resolution.
#pragma once

#include <string>

namespace quillbox::platform {

class Reachability {
 public:
  // True when `host` resolves and a route to one of its addresses exists.
  static bool isReachable(const std::string& host, int port);
  // isReachable() for the host and port of the API base URL ("url" of the
  // client application's local plist "com.velmor.loacal.plist"). False when
  // the plist, the key or a usable host is missing.
  static bool isServiceReachable();
  // Host and port of an http(s) URL ("https://h:8443/3/" gives "h", 8443;
  // the scheme's default port when none is given). False when it has no host.
  static bool hostAndPort(const std::string& url, std::string* host, int* port);
};

}  // namespace quillbox::platform
