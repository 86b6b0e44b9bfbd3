#include "Base/File.h"

#include <cstdio>

namespace quillbox {

std::string formatKindCode(int code) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d", code);
  return buf;
}

}  // namespace quillbox
