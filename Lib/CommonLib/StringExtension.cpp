#include "CommonLib/StringExtension.h"

#include "CommonLib/CommonRegex.h"

namespace quillbox {

std::string stringByURLEncodingStringParameter(const std::string& text) {
  if (CommonRegex::utf16Length(text) < 0) return text;
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (unsigned char c : text) {
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '&' || c == '=' || c == '-' || c == '_' || c == '.' || c == '~';
    if (keep) {
      out += static_cast<char>(c);
    } else if (c == ' ') {
      out += "%20";
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

std::optional<std::string> getStringBetweenKey1(const std::string& text, const std::string& key1,
                                                const std::string& key2) {
  size_t a = text.find(key1);
  if (a == std::string::npos) return std::nullopt;
  std::string rest = text.substr(a + key1.size());
  size_t b = rest.find(key2);
  if (b == std::string::npos) return std::nullopt;
  return rest.substr(0, b);
}

std::string stringByAddingPercentEscapes(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  static const std::string kEscaped = "\"%<>\\^`{|}";
  std::string out;
  for (unsigned char c : text) {
    if (c <= 0x20 || c >= 0x7f || kEscaped.find(static_cast<char>(c)) != std::string::npos) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace quillbox
