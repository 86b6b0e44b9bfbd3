#include "Platform/Process/Outcome.h"

#include <cstring>

namespace quillbox::platform {

Outcome Outcome::fromErrno(int error) {
  // strerror_r keeps this safe on any thread (strerror may share a buffer).
  char buffer[256];
  const char* text = ::strerror_r(error, buffer, sizeof buffer);
  return Outcome{error, text ? text : "error " + std::to_string(error)};
}

}  // namespace quillbox::platform
