#include "Request/ServiceReachability.h"

#include <string>

#include "AppURL.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Files/PropertyList.h"
#include "Platform/Net/Reachability.h"
#include "Request/Z_Request.h"

namespace quillbox {

bool ServiceReachability::isServiceReachable() {
  return platform::Reachability::Default().isReachableURL(Z_Request::apiBaseURL());
}

std::optional<std::string> ServiceReachability::serviceAddressProblem() {
  if (AppURL::sharedAppURL().appURL().empty() && !locateQuillboxApp())
    return std::string("no client application container");
  const std::string path = getAppLibFilePath(Z_Request::kLocalPlist);
  if (!platform::FileSystem::Default().exists(path)) return path + " is missing";
  auto value = platform::PropertyList::read(path);
  if (!value || !value->asDict()) return path + " can't be read";
  const std::string url = value->asDict()->getString("url");
  if (url.empty()) return path + " has no \"url\"";
  std::string host;
  int port = 0;
  if (!platform::Reachability::hostAndPort(url, &host, &port))
    return "\"" + url + "\" of " + path + " names no host";
  return std::nullopt;
}

void ServiceReachability::resolveServiceHost() {
  std::string host;
  int port = 0;
  if (platform::Reachability::hostAndPort(Z_Request::apiBaseURL(), &host, &port))
    platform::Reachability::Default().resolve(host);
}

}  // namespace quillbox
