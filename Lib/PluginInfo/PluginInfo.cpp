#include "PluginInfo/PluginInfo.h"

#include <cstdint>
#include <limits>

#include "AppURL.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Files/PropertyList.h"
#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"

namespace quillbox {

using platform::Environment;
using platform::FileSystem;
using platform::PropertyList;

namespace {
const char kFolder[] = "Plugin";
const char kFile[] = "Plugin/PluginInfo.plist";
}  // namespace

std::string PluginInfo::path() {
  // An unknown container would put the file at "/Library/Plugin".
  if (AppURL::sharedAppURL().appURL().empty()) return {};
  return getAppLibFilePath(kFile);
}

std::optional<PlistDict> PluginInfo::readPluginInfo() {
  const std::string file = path();
  if (file.empty()) return std::nullopt;
  auto value = PropertyList::read(file);
  if (!value || !value->isDict()) return std::nullopt;
  return *value->asDict();
}

bool PluginInfo::writePluginInfo() {
  const std::string file = path();
  if (file.empty()) return false;
  auto& fs = FileSystem::Default();
  PlistDict info;
  if (fs.exists(file)) {
    auto value = PropertyList::read(file);
    if (!value || !value->isDict()) {
      platform::Log::printf("PluginInfo: %s is not a dictionary; left as it is", file.c_str());
      return false;
    }
    info = std::move(*value->asDict());
  } else if (!fs.createDirectories(getAppLibFilePath(kFolder))) {
    return false;
  }

  const int64_t u = info.getInteger("update");
  auto bundle = PropertyList::readDictionary(Environment::mainBundle() + "/Info.plist");
  if (const PlistValue* version = bundle.find("CFBundleShortVersionString")) {
    info.set("version", version->stringValue());
  }
  const bool wraps = u == std::numeric_limits<int64_t>::max() || (u + 1) % 100 == 0;
  info.set("update", PlistValue::integer(wraps ? 0 : u + 1));
  return static_cast<bool>(PropertyList::write(file, PlistValue(std::move(info))));
}

}  // namespace quillbox
