#include "Platform/Reachability.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>

#include "AppURL.h"
#include "Platform/PropertyList.h"

namespace quillbox::platform {

namespace {
const char kLocalPlist[] = "com.velmor.loacal.plist";
}

bool Reachability::isReachable(const std::string& host, int port) {
  if (host.empty() || port <= 0 || port > 65535) return false;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* list = nullptr;
  std::string service = std::to_string(port);
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0 || !list) return false;
  bool reachable = false;
  for (addrinfo* ai = list; ai && !reachable; ai = ai->ai_next) {
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) continue;
    // connect() on a datagram socket only picks a route: nothing is sent.
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) reachable = true;
    close(fd);
  }
  freeaddrinfo(list);
  return reachable;
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

bool Reachability::isServiceReachable() {
  PlistDict local = PropertyList::readDictionary(getAppLibFilePath(kLocalPlist));
  std::string host;
  int port = 0;
  if (!hostAndPort(local.getString("url"), &host, &port)) return false;
  return isReachable(host, port);
}

}  // namespace quillbox::platform
