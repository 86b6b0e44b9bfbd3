// VersionFlag: the --version every program takes.
//
// `--version` prints "<program> <version>" on standard output and ends the
// program with status 0; the version is asked for only then. A program whose
// version cannot be read (its bundle's Info.plist missing or naming none)
// says so on standard error, naming the file, and ends with status 1.
#pragma once

#include <functional>
#include <string>

namespace CLI {
class App;
}  // namespace CLI

namespace quillbox::platform {

class VersionFlag {
 public:
  // Adds --version to `app`. `version` gives the version text ("" when there
  // is none); it runs on the parsing thread, during parsing.
  static void add(CLI::App& app, std::function<std::string()> version);
};

}  // namespace quillbox::platform
