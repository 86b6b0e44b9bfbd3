// PluginInfo: the widget's plug-in info plist, which counts its showings.
//
// "<container>/Library/Plugin/PluginInfo.plist" holds "update" (showings since
// the last update check, 0 to 99; 0 means the next showing checks) and
// "version" (the "CFBundleShortVersionString" of the main bundle of the process
// that wrote it). Other keys are kept. Without a known container nothing is
// read or written. Safe to call from any thread; the widget calls it from its
// main thread.
#pragma once

#include <optional>
#include <string>

#include "PropertyList/PlistValue.h"

namespace quillbox {

class PluginInfo {
 public:
  // The file's dictionary; nullopt when it is missing, unreadable or not a
  // dictionary, or when the container is unknown.
  static std::optional<PlistDict> readPluginInfo();

  // Advances the counter (99 is followed by 0), records the version (left as it
  // was when the main bundle has none) and replaces the file atomically,
  // creating its folder when the file is missing. A file that exists but is not
  // a dictionary is left untouched. Gives the outcome of the write.
  static bool writePluginInfo();

  // The file's path ("" when the container is unknown).
  static std::string path();
};

}  // namespace quillbox
