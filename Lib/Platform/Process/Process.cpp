#include "Platform/Process/Process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Platform/Process/Environment.h"
#include "Platform/Process/Log.h"
#include "Platform/Process/Threads.h"

extern char** environ;

namespace quillbox::platform {
namespace {
const char kSpawnFailed[] = "Process: cannot start %s (%s)";
}

std::optional<std::string> Process::findExecutable(const std::string& name) {
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string::npos) {
    if (::access(name.c_str(), X_OK) == 0) return name;
    return std::nullopt;
  }
  std::string path = Environment::get("PATH");
  size_t start = 0;
  while (start <= path.size()) {
    size_t colon = path.find(':', start);
    const size_t len = colon == std::string::npos ? path.size() - start : colon - start;
    // An empty PATH entry names the current folder.
    std::string candidate = len == 0 ? "./" + name : path.substr(start, len) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return std::nullopt;
}

bool Process::spawnDetached(const std::vector<std::string>& argv,
                            std::function<void(int exitStatus)> onExit) {
  if (argv.empty()) return false;
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int rc = ::posix_spawnp(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    Log::printf(kSpawnFailed, argv[0].c_str(), std::strerror(rc));
    return false;
  }
  // No zombie is left behind, whoever else waits for children.
  Threads::Default().startThread("reap-child", [pid, onExit = std::move(onExit)] {
    int status = 0;
    pid_t reaped = 0;
    while ((reaped = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (!onExit || reaped != pid) return;
    onExit(WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status));
  });
  return true;
}

}  // namespace quillbox::platform
