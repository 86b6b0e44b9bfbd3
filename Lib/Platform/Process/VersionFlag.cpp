#include "Platform/Process/VersionFlag.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "Platform/Process/Environment.h"

namespace quillbox::platform {

void VersionFlag::add(CLI::App& app, std::function<std::string()> version) {
  // CLI11 prints a CallForVersion's text on standard output with its status;
  // a RuntimeError ends parsing with its status and prints nothing more.
  app.add_flag_callback(
         "--version",
         [version = std::move(version)] {
           const std::string name = Environment::programName();
           const std::string v = version();
           if (v.empty()) {
             std::fprintf(stderr, "%s: no version: %s/Info.plist is missing or names none\n",
                          name.c_str(), Environment::mainBundle().c_str());
             throw CLI::RuntimeError(1);
           }
           throw CLI::CallForVersion(name + " " + v, 0);
         },
         "print the program's name and version and exit")
      ->configurable(false);
}

}  // namespace quillbox::platform
