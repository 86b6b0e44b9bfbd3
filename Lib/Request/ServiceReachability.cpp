#include "Request/ServiceReachability.h"

#include <string>

#include "Platform/Net/Reachability.h"
#include "Request/Z_Request.h"

namespace quillbox {

bool ServiceReachability::isServiceReachable() {
  return platform::Reachability::Default().isReachableURL(Z_Request::apiBaseURL());
}

void ServiceReachability::resolveServiceHost() {
  std::string host;
  int port = 0;
  if (platform::Reachability::hostAndPort(Z_Request::apiBaseURL(), &host, &port))
    platform::Reachability::Default().resolve(host);
}

}  // namespace quillbox
