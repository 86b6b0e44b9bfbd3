// quillbox update-check: asks the update server whether a newer widget release
// exists, as the widget does every hundredth showing, and says what came of it.
#include <cstdio>
#include <memory>

#include "AppURL.h"
#include "Commands.h"
#include "Platform/Process/Environment.h"
#include "VersionUpdateInfo/VersionUpdateInfo.h"

namespace quillbox::tool {
namespace {

// One exit status per result, so that scripts can tell them apart.
int exitStatusOf(VersionUpdateInfo::Result result) {
  switch (result) {
    case VersionUpdateInfo::Result::Announced:
      return 0;
    case VersionUpdateInfo::Result::NoUpdate:
      return 1;
    case VersionUpdateInfo::Result::Unreachable:
      return 2;
    case VersionUpdateInfo::Result::Refused:
      return 3;
    case VersionUpdateInfo::Result::NotEnciphered:
      return 4;
  }
  return 2;
}

Command::Registration updateCheck(70, [](CLI::App& app) {
  auto* cmd = app.add_subcommand(
      "update-check",
      "check the update server for a newer widget release; prints the server asked, the "
      "installed version and what came of it. Exit status: 0 a version is announced (printed "
      "with its address), 1 no update announced, 2 the server is unreachable, 3 it refused "
      "(HTTP status outside 2xx), 4 its reply is not enciphered as expected");
  auto url = std::make_shared<std::string>();
  cmd->add_option("--url", *url,
                  "check URL (default: QUILLBOX_UPDATE_URL, else the client's service, else " +
                      std::string(VersionUpdateInfo::kDefaultCheckUrl) + ")");
  cmd->callback([url] {
    if (!url->empty()) platform::Environment::set("QUILLBOX_UPDATE_URL", *url);
    // The client's service names the server unless a URL does; without a
    // client the fixed default applies.
    if (platform::Environment::updateUrl().empty()) locateQuillboxApp();
    VersionUpdateInfo info;
    const std::string server = VersionUpdateInfo::checkUrl();
    const bool announced = info.getVersionUpdateInfo();
    std::printf("server: %s\ninstalled: %s\n", server.c_str(), info.strNowVersionl().c_str());
    if (announced) {
      std::printf("version: %s\nurl: %s\n", info.strNewVersion().c_str(),
                  info.strDownUrl().c_str());
    } else {
      std::printf("%s\n", info.resultText().c_str());
    }
    std::fflush(stdout);
    Command::setExitStatus(exitStatusOf(info.result()));
  });
});

}  // namespace
}  // namespace quillbox::tool
