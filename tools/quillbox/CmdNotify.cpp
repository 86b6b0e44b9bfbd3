// quillbox trigger / quillbox notify post NAME: system-wide notifications.
#include <iostream>

#include "Commands.h"
#include "Platform/Loop/DarwinNotifyCenter.h"
#include "ScreenShotManager/ScreenShotManager.h"

namespace quillbox::tool {
namespace {

int post(const std::string& name) {
  if (!platform::DarwinNotifyCenter::Default().post(name)) {
    std::cerr << "quillbox: could not post \"" << name << "\"\n";
    return 1;
  }
  return 0;
}

Command::Registration trigger(10, [](CLI::App& app) {
  auto* cmd = app.add_subcommand(
      "trigger", "post \"com.velmor.quillbox.server.screenshot\": vigild takes a screenshot");
  cmd->callback([] { Command::setExitStatus(post(kScreenshotNotification)); });
});

Command::Registration notify(11, [](CLI::App& app) {
  auto* cmd = app.add_subcommand("notify", "system-wide notifications");
  cmd->require_subcommand(1);
  auto* p = cmd->add_subcommand("post", "post a notification NAME to every observer");
  auto name = std::make_shared<std::string>();
  p->add_option("NAME", *name, "notification name")->required();
  p->callback([name] { Command::setExitStatus(post(*name)); });
});

}  // namespace
}  // namespace quillbox::tool
