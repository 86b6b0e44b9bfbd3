// quillbox store list: the current user's property records, one JSON line each.
#include <iostream>
#include <nlohmann/json.hpp>

#include "AppURL.h"
#include "Commands.h"
#include "FileProperty/FileProperty.h"
#include "Platform/Files/PropertyList.h"
#include "Platform/Process/Environment.h"
#include "SharedSettings.h"

namespace quillbox::tool {
namespace {

int list() {
  if (!locateQuillboxApp()) {
    std::cerr << "quillbox store: no client container (quillbox.app) under \""
              << platform::Environment::appsRoot() << "\" (set QUILLBOX_APPS_ROOT)\n";
    return 2;
  }
  auto user = SharedSettings::currentUserName();
  if (!user) {
    std::cerr << "quillbox store: no current user in "
              << getAppLibFilePath(SharedSettings::kUserInfoFile) << "\n";
    return 2;
  }
  auto store = platform::PropertyList::read(getAppLibFilePath(FileProperty::kStoreFile));
  if (!store || !store->asDict()) return 0;  // no store yet: no records
  const PlistValue* records = store->asDict()->find(*user);
  if (!records || !records->asArray()) return 0;
  for (const auto& r : *records->asArray()) {
    std::cout << toJson(r).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
              << "\n";
  }
  return 0;
}

Command::Registration store(31, [](CLI::App& app) {
  auto* cmd = app.add_subcommand("store", "the file property store");
  cmd->require_subcommand(1);
  auto* l = cmd->add_subcommand("list", "print the current user's property records as JSON lines");
  l->callback([] { Command::setExitStatus(list()); });
});

}  // namespace
}  // namespace quillbox::tool
