// quillbox: every operation a user or a test may want without the daemon.
#include <algorithm>
#include <cstdio>
#include <exception>

#include "Commands.h"
#include "Platform/Process/Log.h"

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

}  // namespace quillbox::tool

static int runTool(int argc, char** argv) {
  using quillbox::tool::Command;
  CLI::App app{"quillbox: evidence capture tool (notifications, verify, digests, upload, login)"};
  app.require_subcommand(1);
  auto regs = Command::all();
  std::stable_sort(regs.begin(), regs.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [order, setup] : regs) setup(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
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
