#include "WeeAppLoader.h"

#include "Platform/Files/FileSystem.h"
#include "Platform/Files/PropertyList.h"
#include "Platform/Process/Environment.h"

namespace quillbox::weeapphost {

using platform::Environment;
using platform::FileSystem;

namespace {

std::string stringValue(const PlistDict& d, const char* key) {
  const PlistValue* v = d.find(key);
  const std::string* s = v ? v->asString() : nullptr;
  return s ? *s : std::string();
}

// A library name from the bundle stays a bare file name: no folder of its own choosing.
bool isBareFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

std::optional<LoadedWeeApp> WeeAppLoader::load(const std::string& bundleDir, std::string* error) {
  const std::string infoPath = bundleDir + "/Info.plist";
  std::optional<PlistValue> info = platform::PropertyList::read(infoPath);
  const PlistDict* dict = info ? info->asDict() : nullptr;
  if (!dict) {
    *error = "no readable Info.plist at " + infoPath;
    return std::nullopt;
  }
  LoadedWeeApp app;
  app.principalClass = stringValue(*dict, "NSPrincipalClass");
  std::string executable = stringValue(*dict, "CFBundleExecutable");
  if (app.principalClass.empty()) {
    *error = infoPath + " names no NSPrincipalClass";
    return std::nullopt;
  }
  if (!isBareFileName(executable)) {
    *error = infoPath + " names no usable CFBundleExecutable";
    return std::nullopt;
  }
  // Installed, the plug-in is a private library of the prefix (lib/quillbox/plugins);
  // in the build tree it lies beside the programs. The installed place comes
  // first: a plug-in an older install left in bin/ must not shadow it.
  const std::string here = Environment::executableDir();
  const std::string installed = here + "/../lib/quillbox/plugins";
  for (const std::string& dir : {bundleDir, installed, here}) {
    std::string candidate = dir;
    candidate.append("/").append(executable);
    if (FileSystem::Default().exists(candidate)) {
      app.libraryPath = std::move(candidate);
      break;
    }
  }
  if (app.libraryPath.empty()) {
    *error = executable + " not found in " + bundleDir + ", " + installed + " or " + here;
    return std::nullopt;
  }
  app.library = platform::DynamicLibrary::open(app.libraryPath, error);
  if (!app.library) return std::nullopt;
  void* factory = app.library->symbol(platform::weeAppFactorySymbol(app.principalClass), error);
  if (!factory) return std::nullopt;
  app.controller.reset(reinterpret_cast<platform::WeeAppControllerFactory>(factory)());
  if (!app.controller) {
    *error = "the factory of " + app.principalClass + " made no controller";
    return std::nullopt;
  }
  return app;
}

}  // namespace quillbox::weeapphost
