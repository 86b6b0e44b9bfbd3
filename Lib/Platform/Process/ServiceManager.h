// ServiceManager: what a program tells the service manager that started it.
//
// Under systemd (a unit of Type=notify) the manager waits for the program to
// say that it is ready; elsewhere the calls do nothing. Safe from any thread.
#pragma once

namespace quillbox::platform {

class ServiceManager {
 public:
  // Tells the manager that start-up is complete ("READY=1"). Gives true when
  // a manager was told, false when none started this process (or it could
  // not be reached).
  static bool notifyReady();
  // Whether a service manager started this process and waits for its notices
  // (NOTIFY_SOCKET is set).
  static bool isManaged();
};

}  // namespace quillbox::platform
