// Outcome: whether an operation of the system succeeded and, when it did not,
// why: the errno value and its text (or the operation's own words), so that
// callers and tests can act on the reason instead of reading it from the log.
#pragma once

#include <string>
#include <utility>

namespace quillbox::platform {

struct Outcome {
  int error = 0;       // the errno value of the failure (0: none, or no errno applies)
  std::string reason;  // what went wrong, e.g. "No space left on device"; empty on success

  bool ok() const { return error == 0 && reason.empty(); }
  explicit operator bool() const { return ok(); }

  static Outcome success() { return {}; }
  // A failure for errno `error`, its text from strerror.
  static Outcome fromErrno(int error);
  // A failure with the caller's words (and an errno value when one applies).
  static Outcome failure(std::string reason, int error = 0) {
    return Outcome{error, std::move(reason)};
  }
};

}  // namespace quillbox::platform
