// DynamicLibrary: a shared object loaded into the running process (plug-ins).
//
// A library stays loaded for the rest of the process, also after its handle is
// gone: threads the plug-in started may still run its code. Symbols of the
// program that loads it (when the program exports them) take precedence over
// the library's own copies, so a plug-in built with the same static library
// shares the program's run loops, user interface and singletons.
//
// Thread safety: all operations may be called from any thread.
#pragma once

#include <memory>
#include <string>

namespace quillbox::platform {

class DynamicLibrary {
 public:
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;
  ~DynamicLibrary();

  // Loads the library at `path` and resolves all its symbols at once. Gives
  // nullptr and the loader's reason in `error` when it can't be loaded.
  static std::unique_ptr<DynamicLibrary> open(const std::string& path, std::string* error);
  // The address of the exported symbol `name`; nullptr and the reason in `error` when absent.
  void* symbol(const std::string& name, std::string* error) const;
  const std::string& path() const { return path_; }

 private:
  DynamicLibrary(void* handle, std::string path) : handle_(handle), path_(std::move(path)) {}
  void* handle_;
  std::string path_;
};

}  // namespace quillbox::platform
