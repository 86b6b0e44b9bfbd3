// quillbox login: runs the automatic login once, synchronously.
#include <chrono>
#include <cstdio>
#include <memory>

#include "AppURL.h"
#include "AutoLogin/AutoLogin.h"
#include "Commands.h"
#include "Request/Z_Request.h"

namespace quillbox::tool {

namespace {

Command::Registration registration(60, [](CLI::App& app) {
  auto* cmd = app.add_subcommand(
      "login",
      "log in again with the account of the client application (user-info plist and keychain); "
      "exit 0 on success, 1 on failure");
  auto timeout = std::make_shared<int>(60);
  cmd->add_option("--timeout", *timeout, "seconds to wait for the outcome")
      ->check(CLI::Range(1, 3600));
  cmd->callback([timeout] {
    if (!locateQuillboxApp()) {
      std::printf("login: failed (no client application container found)\n");
      Command::setExitStatus(1);
      return;
    }
    bool ok = AutoLogin::sharedAutoLogin().toAutoLoginAndWait(std::chrono::seconds(*timeout));
    if (ok) {
      std::printf("login: success (session written to %s)\n",
                  Z_Request::getAppLibFilePath(Z_Request::kWebInfoPlist).c_str());
    } else {
      std::printf("login: failed\n");
    }
    std::fflush(stdout);
    Command::setExitStatus(ok ? 0 : 1);
  });
});

}  // namespace

}  // namespace quillbox::tool
