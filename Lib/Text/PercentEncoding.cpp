#include "Text/PercentEncoding.h"

#include "Text/Hex.h"

namespace quillbox {

std::string PercentEncoding::encode(std::string_view text, std::string_view unescaped) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (alnum || (c != 0 && unescaped.find(static_cast<char>(c)) != std::string_view::npos)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      Hex::append(out, c, true);
    }
  }
  return out;
}

}  // namespace quillbox
