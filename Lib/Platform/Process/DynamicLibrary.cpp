#include "Platform/Process/DynamicLibrary.h"

#include <dlfcn.h>

namespace quillbox::platform {

std::unique_ptr<DynamicLibrary> DynamicLibrary::open(const std::string& path, std::string* error) {
  // NODELETE: code of the library may still run on threads it started after
  // the handle is closed.
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!handle) {
    if (error) {
      const char* why = ::dlerror();
      *error = why ? why : "dlopen failed";
    }
    return nullptr;
  }
  return std::unique_ptr<DynamicLibrary>(new DynamicLibrary(handle, path));
}

DynamicLibrary::~DynamicLibrary() {
  if (handle_) ::dlclose(handle_);
}

void* DynamicLibrary::symbol(const std::string& name, std::string* error) const {
  ::dlerror();
  void* p = ::dlsym(handle_, name.c_str());
  if (!p && error) {
    const char* why = ::dlerror();
    *error = why ? why : "symbol " + name + " not found";
  }
  return p;
}

}  // namespace quillbox::platform
