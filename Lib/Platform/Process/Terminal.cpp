#include "Platform/Process/Terminal.h"

#include <unistd.h>

namespace quillbox::platform {

bool Terminal::isStandardOutputTerminal() {
  return ::isatty(STDOUT_FILENO) == 1;
}
bool Terminal::isStandardErrorTerminal() {
  return ::isatty(STDERR_FILENO) == 1;
}

}  // namespace quillbox::platform
