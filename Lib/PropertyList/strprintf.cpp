#include "PropertyList/strprintf.h"

#include <cstdio>

namespace quillbox {

std::string vstrprintf(const char* fmt, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  char small[512];
  int n = vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, n);
  std::string out(n, '\0');
  vsnprintf(out.data(), n + 1, fmt, ap);
  return out;
}

std::string strprintf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string s = vstrprintf(fmt, ap);
  va_end(ap);
  return s;
}

}  // namespace quillbox
