#include "Platform/Process/ServiceManager.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

namespace quillbox::platform {

bool ServiceManager::notifyReady() {
  // NOTIFY_SOCKET stays set: unsetting it races with other threads reading the
  // environment, and the manager takes notices only from the main process.
  return sd_notify(0, "READY=1") > 0;
}

bool ServiceManager::isManaged() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  return socket && *socket;
}

}  // namespace quillbox::platform
