// strprintf: printf-style formatting into a std::string ("%@" of the original
// texts is "%s" here), and its va_list form. Safe from any thread.
#pragma once

#include <cstdarg>
#include <string>

namespace quillbox {

std::string strprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vstrprintf(const char* fmt, va_list ap) __attribute__((format(printf, 1, 0)));

}  // namespace quillbox
