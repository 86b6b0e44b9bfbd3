// WeeAppLoader: finds and loads a widget bundle's plug-in.
//
// The bundle's Info.plist names the principal class ("NSPrincipalClass") and
// the shared library ("CFBundleExecutable", a bare file name) that holds it.
// The library is looked for in the bundle folder, then in ../lib/quillbox/plugins
// (where an install puts it), then beside this program (the build tree); its
// factory (BBWeeAppController.h) makes the controller.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Platform/Process/DynamicLibrary.h"
#include "Platform/UI/BBWeeAppController.h"

namespace quillbox::weeapphost {

struct LoadedWeeApp {
  std::string principalClass;
  std::string libraryPath;
  std::unique_ptr<platform::DynamicLibrary> library;
  std::unique_ptr<platform::BBWeeAppController> controller;
};

class WeeAppLoader {
 public:
  // Loads the plug-in of the bundle folder `bundleDir` and creates its
  // controller. nullopt with the reason in `error` when the Info.plist, the
  // library or the factory is missing or unusable.
  // REQUIRES: called on the main thread (the controller is created there).
  static std::optional<LoadedWeeApp> load(const std::string& bundleDir, std::string* error);
};

}  // namespace quillbox::weeapphost
