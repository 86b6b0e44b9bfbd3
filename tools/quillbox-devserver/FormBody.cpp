#include "FormBody.h"

#include "Text/Hex.h"
#include "Text/XmlEscape.h"
#include "base64/Base64.h"

namespace quillbox::devserver {

std::string FormBody::percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      int hi = Hex::digitValue(text[i + 1]);
      int lo = Hex::digitValue(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

FormBody FormBody::parse(std::string_view text) {
  FormBody form;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('&', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view field = text.substr(start, end - start);
    if (!field.empty()) {
      size_t eq = field.find('=');
      std::string_view name = field.substr(0, eq);
      std::string_view value =
          eq == std::string_view::npos ? std::string_view() : field.substr(eq + 1);
      form.fields_.emplace_back(percentDecode(name), percentDecode(value));
    }
    start = end + 1;
  }
  return form;
}

std::optional<std::string> FormBody::get(const std::string& name) const {
  for (const auto& [n, v] : fields_) {
    if (n == name) return v;
  }
  return std::nullopt;
}

std::string FormBody::value(const std::string& name) const {
  return get(name).value_or("");
}

bool isHexDigest40(std::string_view text) {
  if (text.size() != 40) return false;
  for (char c : text) {
    if (Hex::digitValue(c) < 0) return false;
  }
  return true;
}

bool isDecimal(std::string_view text) {
  if (text.empty() || text.size() > 18) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::optional<std::string> decodeBase64(std::string_view text) {
  Base64::DecodeOptions lenient;
  lenient.alphabet = Base64::Alphabet::Either;
  lenient.skipWhitespace = true;
  lenient.paddingOptional = true;
  lenient.allowEmpty = true;
  return Base64::decode(text, lenient);
}

std::string xmlEscape(std::string_view text) {
  return XmlEscape::escape(text, true);
}

}  // namespace quillbox::devserver
