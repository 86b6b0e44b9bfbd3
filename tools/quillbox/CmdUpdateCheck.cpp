// quillbox update-check: asks the update server (QUILLBOX_UPDATE_URL) whether a
// newer widget release exists, as the widget does every hundredth showing.
#include <cstdio>
#include <memory>

#include "Commands.h"
#include "Platform/Process/Environment.h"
#include "VersionUpdateInfo/VersionUpdateInfo.h"

namespace quillbox::tool {
namespace {

Command::Registration updateCheck(70, [](CLI::App& app) {
  auto* cmd = app.add_subcommand(
      "update-check",
      "check the update server for a newer widget release; prints the announced version and "
      "address, exit 1 when none is announced (or the server can't be reached)");
  auto url = std::make_shared<std::string>();
  cmd->add_option("--url", *url, "check URL (default: QUILLBOX_UPDATE_URL)");
  cmd->callback([url] {
    if (!url->empty()) platform::Environment::set("QUILLBOX_UPDATE_URL", *url);
    VersionUpdateInfo info;
    const bool announced = info.getVersionUpdateInfo();
    std::printf("installed: %s\n", info.strNowVersionl().c_str());
    if (announced) {
      std::printf("version: %s\nurl: %s\n", info.strNewVersion().c_str(),
                  info.strDownUrl().c_str());
    } else {
      std::printf("no update announced\n");
    }
    std::fflush(stdout);
    Command::setExitStatus(announced ? 0 : 1);
  });
});

}  // namespace
}  // namespace quillbox::tool
