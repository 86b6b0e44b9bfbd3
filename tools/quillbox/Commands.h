// Commands: the subcommands of the quillbox tool.
//
// Each subcommand lives in its own source file and registers itself with a
// static Command::Registration; main() asks every registration to add its
// subcommand to the CLI11 application and runs the one the user chose.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <string>
#include <vector>

namespace quillbox::tool {

class Command {
 public:
  // `setup` adds the subcommand to `app` and sets its callback. The callback
  // stores the exit status with setExitStatus(); the default is 0.
  using Setup = std::function<void(CLI::App& app)>;
  struct Registration {
    Registration(int order, Setup setup);
  };
  static std::vector<std::pair<int, Setup>>& all();
  static void setExitStatus(int status);
  static int exitStatus();
};

}  // namespace quillbox::tool
