#include "Request/ServiceReachability.h"

#include "Platform/Reachability.h"
#include "Request/Z_Request.h"

namespace quillbox {

bool ServiceReachability::isServiceReachable() {
  return platform::Reachability::isReachableURL(Z_Request::apiBaseURL());
}

}  // namespace quillbox
