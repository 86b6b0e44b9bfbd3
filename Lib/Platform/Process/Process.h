// Process: starting other programs (a URL opener, for example).
//
// Thread safety: all operations may be called from any thread.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quillbox::platform {

class Process {
 public:
  // The program `name` as found on PATH (a name holding "/" is taken as a
  // path); nullopt when no executable file of that name exists.
  static std::optional<std::string> findExecutable(const std::string& name);
  // Starts argv[0] with the arguments argv[1..] and returns without waiting;
  // standard input and output go to /dev/null, standard error is shared. The
  // child is reaped when it ends; `onExit`, when given, is then called on the
  // reaping thread with its exit status (128 + the signal's number when a
  // signal ended it). False (with a log line) when it could not start.
  static bool spawnDetached(const std::vector<std::string>& argv,
                            std::function<void(int exitStatus)> onExit = nullptr);
};

}  // namespace quillbox::platform
