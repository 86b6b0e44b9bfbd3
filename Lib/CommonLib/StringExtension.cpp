#include "CommonLib/StringExtension.h"

#include "CommonLib/CommonRegex.h"
#include "Text/PercentEncoding.h"

namespace quillbox {

std::string stringByURLEncodingStringParameter(const std::string& text) {
  if (CommonRegex::utf16Length(text) < 0) return text;
  return PercentEncoding::encode(text, "&=-_.~");
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
  // Printable ASCII stays but for the characters URLs may not hold as they are.
  return PercentEncoding::encode(text, "!#$&'()*+,-./:;=?@[]_~");
}

}  // namespace quillbox
