// quillbox login: runs the automatic login once, synchronously.
#include <chrono>
#include <cstdio>
#include <memory>

#include "AppURL.h"
#include "AutoLogin/AutoLogin.h"
#include "Commands.h"
#include "Platform/Process/Environment.h"
#include "Request/Z_Request.h"
#include "SharedSettings.h"

namespace quillbox::tool {

namespace {

using Kind = AutoLogin::Failure::Kind;

// Exit statuses: each failure says what to mend.
constexpr int kFailed = 1;         // anything else (no container, a reply that decides nothing)
constexpr int kUnreachable = 2;    // the service did not answer
constexpr int kTls = 3;            // TLS verification failed
constexpr int kRefused = 4;        // the service refused the credentials
constexpr int kNoCredentials = 5;  // no login name or no stored password

int report(const AutoLogin::Failure& failure, int timeout) {
  const std::string url = Z_Request::apiBaseURL();
  const char* detail = failure.detail.c_str();
  switch (failure.kind) {
    case Kind::Unreachable:
      std::printf(
          "login: failed: the service at %s can't be reached (%s); check \"url\" of %s and that "
          "the service runs\n",
          url.c_str(), detail, Z_Request::getAppLibFilePath(Z_Request::kLocalPlist).c_str());
      return kUnreachable;
    case Kind::Tls:
      std::printf(
          "login: failed: TLS verification of %s failed (%s); a service with a certificate of "
          "its own needs it in QUILLBOX_CA_FILE (now \"%s\")\n",
          url.c_str(), detail, platform::Environment::caFile().c_str());
      return kTls;
    case Kind::Refused:
      std::printf(
          "login: failed: the service refused the credentials (%s); check \"usernamelogin\" of "
          "%s and the password in the keychain %s\n",
          detail, Z_Request::getAppLibFilePath(SharedSettings::kUserInfoFile).c_str(),
          platform::Environment::keychain().c_str());
      return kRefused;
    case Kind::NoCredentials:
      std::printf("login: failed: no credentials: %s\n", detail);
      return kNoCredentials;
    case Kind::Other:
      std::printf("login: failed: %s\n", detail);
      return kFailed;
    case Kind::None:
      break;
  }
  std::printf("login: failed: no outcome within %d s\n", timeout);
  return kFailed;
}

Command::Registration registration(60, [](CLI::App& app) {
  auto* cmd = app.add_subcommand(
      "login",
      "log in again with the account of the client application (user-info plist and keychain). "
      "Exit 0 on success; on failure 2 when the service can't be reached, 3 when TLS "
      "verification fails (see QUILLBOX_CA_FILE), 4 when the service refuses the credentials, "
      "5 when no login name or password is stored, 1 otherwise");
  auto timeout = std::make_shared<int>(60);
  cmd->add_option("--timeout", *timeout, "seconds to wait for the outcome")
      ->check(CLI::Range(1, 3600));
  cmd->callback([timeout] {
    if (!locateQuillboxApp()) {
      std::printf("login: failed (no client application container found)\n");
      Command::setExitStatus(kFailed);
      return;
    }
    AutoLogin& login = AutoLogin::sharedAutoLogin();
    bool ok = login.toAutoLoginAndWait(std::chrono::seconds(*timeout));
    int status = 0;
    if (ok) {
      std::printf("login: success (session written to %s)\n",
                  Z_Request::getAppLibFilePath(Z_Request::kWebInfoPlist).c_str());
    } else {
      status = report(login.lastFailure(), *timeout);
    }
    std::fflush(stdout);
    Command::setExitStatus(status);
  });
});

}  // namespace

}  // namespace quillbox::tool
