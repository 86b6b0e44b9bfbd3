// quillbox record PATH... [--kind N]: create the property record of files under Documents.
//
// The same operation a capture runs after writing its file: the record is made
// and its registration with the service starts on a thread of its own. The
// process may end before the service has confirmed it. --register waits
// until the service has confirmed every registration, --wait SECONDS waits at
// most that long (exit status 3 when the confirmation didn't come in time),
// and --no-register makes only the record.
#include <chrono>
#include <filesystem>
#include <future>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "AppURL.h"
#include "Base/File.h"
#include "Commands.h"
#include "FileProperty/FileProperty.h"
#include "InsideDocuments.h"
#include "Platform/Process/Environment.h"
#include "PlistTextValidator.h"
#include "SharedSettings.h"

namespace quillbox::tool {
namespace {

struct RecordArgs {
  std::vector<std::string> paths;
  int kind = FileKind::Screenshot;
  double waitSeconds = 0;
  bool waitForConfirmation = false;
  bool noRegister = false;
};

int record(const RecordArgs& a) {
  if (!locateQuillboxApp()) {
    std::cerr << "quillbox record: no client container (quillbox.app) under \""
              << platform::Environment::appsRoot() << "\" (set QUILLBOX_APPS_ROOT)\n";
    return 2;
  }
  if (!SharedSettings::currentUserName()) {
    std::cerr << "quillbox record: no current user in "
              << getAppLibFilePath(SharedSettings::kUserInfoFile) << "\n";
    return 2;
  }
  FileProperty& store = FileProperty::sharedFileProperty();
  std::vector<std::shared_future<bool>> registrations;
  int status = 0;
  for (const auto& p : a.paths) {
    auto path = insideDocuments(p);
    if (!path) {
      std::cerr << "quillbox record: \"" << p << "\" is not a file under " << getAppDocFilePath("")
                << "\n";
      status = 1;
      continue;
    }
    auto rec = store.toSaveFilePropertyWithoutRegistration(*path, a.kind);
    if (!rec) {
      std::cerr << "quillbox record: no record made for \"" << *path << "\"\n";
      status = 1;
      continue;
    }
    std::cout << toJson(PlistValue(*rec))
                     .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
              << std::endl;
    if (!a.noRegister) registrations.push_back(store.startRegistration(*rec));
  }
  const bool timed = a.waitSeconds > 0;
  if (timed || a.waitForConfirmation) {
    // A registration retries until the service confirms it; false means it never started.
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<int64_t>(a.waitSeconds * 1000));
    for (auto& r : registrations) {
      if (timed && r.wait_until(deadline) != std::future_status::ready) {
        std::cerr << "quillbox record: registration not confirmed within " << a.waitSeconds
                  << " s\n";
        return status ? status : 3;
      }
      if (!r.get()) {
        std::cerr << "quillbox record: registration could not start\n";
        return status ? status : 3;
      }
    }
  }
  return status;
}

Command::Registration recordCmd(33, [](CLI::App& app) {
  auto args = std::make_shared<RecordArgs>();
  auto* cmd = app.add_subcommand(
      "record", "create the property record of files under Documents and register them");
  cmd->add_option("PATH", args->paths, "files below the container's Documents folder")
      ->required()
      ->check(PlistTextValidator());
  cmd->add_option("--kind", args->kind, "kind code (8 = phone screenshot)")->capture_default_str();
  cmd->add_option("--wait", args->waitSeconds,
                  "wait up to SECONDS for the service to confirm the registrations");
  cmd->add_flag("--register", args->waitForConfirmation,
                "wait until the service has confirmed the registrations");
  cmd->add_flag("--no-register", args->noRegister, "only make the records")->excludes("--register");
  cmd->callback([args] { Command::setExitStatus(record(*args)); });
});

}  // namespace
}  // namespace quillbox::tool
