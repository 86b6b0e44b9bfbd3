#include "Text/XmlEscape.h"

namespace quillbox {

std::string XmlEscape::escape(std::string_view text, bool quotes) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += quotes ? "&quot;" : "\"";
        break;
      case '\'':
        out += quotes ? "&apos;" : "'";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace quillbox
