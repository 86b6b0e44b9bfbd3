// Terminal: whether a standard stream is a terminal (for progress bars).
//
// Stateless; safe from any thread.
#pragma once

namespace quillbox::platform {

class Terminal {
 public:
  // True when standard output (fd 1) / standard error (fd 2) is a terminal.
  static bool isStandardOutputTerminal();
  static bool isStandardErrorTerminal();
};

}  // namespace quillbox::platform
