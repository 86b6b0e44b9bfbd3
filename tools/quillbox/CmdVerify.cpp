// quillbox verify PATH...: the tamper check of evidence files.
//
// Prints one JSON line per file: the verified property, or {"path", "error"}
// with "missing", "no record", "tampered" or "no user". Exit status 0 only
// when every file verifies.
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "AppURL.h"
#include "Commands.h"
#include "FileProperty/FileProperty.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Process/Environment.h"
#include "SharedSettings.h"

namespace quillbox::tool {
namespace {

std::string dump(const nlohmann::ordered_json& j) {
  return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

int verify(const std::vector<std::string>& paths) {
  if (!locateQuillboxApp()) {
    std::cerr << "quillbox verify: no client container (quillbox.app) under \""
              << platform::Environment::appsRoot() << "\" (set QUILLBOX_APPS_ROOT)\n";
    return 2;
  }
  const bool haveUser = SharedSettings::currentUserName().has_value();
  if (!haveUser) std::cerr << "quillbox verify: no current user; nothing can verify\n";
  FileProperty& store = FileProperty::sharedFileProperty();
  int failures = 0;
  for (const auto& path : paths) {
    auto verified = store.toCheckFilePropertyWithLocal(path);
    if (verified) {
      std::cout << dump(toJson(PlistValue(*verified))) << "\n";
      continue;
    }
    ++failures;
    std::string why;
    auto attrs = platform::FileSystem::Default().attributes(path);
    if (!attrs || attrs->isDirectory) {
      why = "missing";
    } else if (!haveUser) {
      why = "no user";
    } else if (!store.getFilePropertyWithPath(path)) {
      why = "no record";
    } else {
      why = "tampered";
    }
    nlohmann::ordered_json j;
    j["path"] = path;
    j["error"] = why;
    std::cout << dump(j) << "\n";
  }
  return failures == 0 ? 0 : 1;
}

Command::Registration verifyCmd(32, [](CLI::App& app) {
  auto paths = std::make_shared<std::vector<std::string>>();
  auto* cmd = app.add_subcommand(
      "verify", "check evidence files against their property records (tamper check)");
  cmd->add_option("PATH", *paths, "evidence files")->required();
  cmd->callback([paths] { Command::setExitStatus(verify(*paths)); });
});

}  // namespace
}  // namespace quillbox::tool
