// quillbox trigger / quillbox notify post NAME: system-wide notifications.
#include <iostream>

#include "Commands.h"
#include "Platform/Loop/DarwinNotifyCenter.h"
#include "Platform/Process/Environment.h"
#include "ScreenShotManager/ScreenShotManager.h"

namespace quillbox::tool {
namespace {

// Exit statuses besides 0 (at least one observer got it).
constexpr int kNotPosted = 1;
constexpr int kNobodyObserves = 2;

int post(const std::string& name, const char* nobody) {
  int delivered = 0;
  if (!platform::DarwinNotifyCenter::Default().post(name, &delivered)) {
    std::cerr << "quillbox: could not post \"" << name << "\"\n";
    return kNotPosted;
  }
  if (delivered == 0) {
    std::cerr << "quillbox: nobody observes \"" << name << "\" (rendezvous folder "
              << platform::Environment::notifyDir() << "): " << nobody << "\n";
    return kNobodyObserves;
  }
  return 0;
}

Command::Registration trigger(10, [](CLI::App& app) {
  auto* cmd = app.add_subcommand(
      "trigger",
      "post \"com.velmor.quillbox.server.screenshot\": vigild takes a screenshot. Exit 0 when "
      "a vigild got it, 2 when none runs for this user (with QUILLBOX_NOTIFY_DIR as it has), "
      "1 when it could not be posted");
  cmd->callback([] {
    Command::setExitStatus(
        post(kScreenshotNotification,
             "no vigild is running for this user; start it (vigild, or systemctl --user start "
             "vigild) with the same QUILLBOX_NOTIFY_DIR"));
  });
});

Command::Registration notify(11, [](CLI::App& app) {
  auto* cmd = app.add_subcommand("notify", "system-wide notifications");
  cmd->require_subcommand(1);
  auto* p = cmd->add_subcommand(
      "post",
      "post a notification NAME to every observer; exit 0 when one got it, 2 when nobody "
      "observes it, 1 when it could not be posted");
  auto name = std::make_shared<std::string>();
  p->add_option("NAME", *name, "notification name")->required();
  p->callback(
      [name] { Command::setExitStatus(post(*name, "no process of this user observes it")); });
});

}  // namespace
}  // namespace quillbox::tool
