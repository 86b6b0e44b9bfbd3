#include "ConnectionCutter.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <filesystem>
#include <string>

namespace quillbox::devserver {
namespace {

// Port and textual address of a socket address (IPv4 or IPv6).
bool describe(const sockaddr_storage& addr, std::string* host, int* port) {
  char text[INET6_ADDRSTRLEN] = {0};
  if (addr.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&addr);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    *port = ntohs(in->sin_port);
  } else if (addr.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&addr);
    inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    *port = ntohs(in6->sin6_port);
  } else {
    return false;
  }
  *host = text;
  return true;
}

int findSocket(const httplib::Request& req) {
#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
  if (req.ssl) return SSL_get_fd(req.ssl);
#endif
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    int fd = -1;
    try {
      fd = std::stoi(entry.path().filename().string());
    } catch (...) {
      continue;
    }
    sockaddr_storage peer{}, local{};
    socklen_t peerLen = sizeof peer, localLen = sizeof local;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) != 0) {
      continue;
    }
    std::string peerHost, localHost;
    int peerPort = -1, localPort = -1;
    if (describe(peer, &peerHost, &peerPort) && describe(local, &localHost, &localPort) &&
        peerPort == req.remote_port && localPort == req.local_port && peerHost == req.remote_addr) {
      return fd;
    }
  }
  return -1;
}

}  // namespace

bool ConnectionCutter::cut(const httplib::Request& req) {
  int fd = findSocket(req);
  return fd >= 0 && shutdown(fd, SHUT_RDWR) == 0;
}

}  // namespace quillbox::devserver
