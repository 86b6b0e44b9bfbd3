// quillbox: every operation a user or a test may want without the daemon.
#include <algorithm>
#include <cstdio>
#include <exception>

#include "AppURL.h"
#include "Commands.h"
#include "Platform/Process/Log.h"
#include "Platform/Process/VersionFlag.h"

namespace quillbox::tool {

namespace {
int g_exitStatus = 0;
}

std::vector<std::pair<int, Command::Setup>>& Command::all() {
  static std::vector<std::pair<int, Setup>> registrations;
  return registrations;
}

Command::Registration::Registration(int order, Setup setup) {
  all().emplace_back(order, std::move(setup));
}

void Command::setExitStatus(int status) {
  g_exitStatus = status;
}
int Command::exitStatus() {
  return g_exitStatus;
}

// The status of a command line that names no command or one that does not exist.
constexpr int kUsageStatus = 2;

// A command line whose words stop at a command that needs a subcommand, or
// name one it does not have: the message naming it and the usage line of that
// command, status 2. -1 when the words name existing commands (CLI11's own
// message then says what else is wrong).
int reportMissingOrUnknownCommand(CLI::App& app, int argc, char** argv) {
  auto usage = [](const std::string& command) {
    std::fprintf(stderr, "Usage: %s COMMAND [OPTIONS]  (%s --help lists the commands)\n",
                 command.c_str(), command.c_str());
    return kUsageStatus;
  };
  auto hasCommands = [](CLI::App* a) {
    return !a->get_subcommands([](CLI::App*) { return true; }).empty();
  };
  CLI::App* at = &app;
  std::string path = "quillbox";
  for (int i = 1; i < argc && hasCommands(at); ++i) {
    const char* word = argv[i];
    if (word[0] == '-') continue;
    std::vector<CLI::App*> named =
        at->get_subcommands([word](CLI::App* sub) { return sub->check_name(word); });
    if (named.empty()) {
      std::fprintf(stderr, "%s: unknown command \"%s\"\n", path.c_str(), word);
      return usage(path);
    }
    at = named.front();
    path += " " + at->get_name();
  }
  if (!hasCommands(at) || at->get_require_subcommand_min() == 0) return -1;
  std::fprintf(stderr, "%s: a command is required\n", path.c_str());
  return usage(path);
}

}  // namespace quillbox::tool

static int runTool(int argc, char** argv) {
  using quillbox::tool::Command;
  CLI::App app{"quillbox: evidence capture tool (notifications, verify, digests, upload, login)"};
  app.require_subcommand(1);
  auto regs = Command::all();
  std::stable_sort(regs.begin(), regs.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [order, setup] : regs) setup(app);
  quillbox::platform::VersionFlag::add(app, quillbox::programVersion);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() != 0) {
      const int usage = quillbox::tool::reportMissingOrUnknownCommand(app, argc, argv);
      if (usage >= 0) return usage;
    }
    return app.exit(e);
  }
  return Command::exitStatus();
}

// Nothing may escape main(): an unexpected exception ends the program with a message.
int main(int argc, char** argv) {
  try {
    return runTool(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quillbox: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "quillbox: unexpected error\n");
  }
  return 1;
}
