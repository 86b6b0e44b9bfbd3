#include "Request/FormBody.h"

#include "CommonLib/StringExtension.h"

namespace quillbox {

std::string FormBody::escapeValue(const std::string& value) {
  std::string escaped = stringByURLEncodingStringParameter(value);
  std::string out;
  out.reserve(escaped.size());
  for (char c : escaped) {
    if (c == '&')
      out += "%26";
    else if (c == '=')
      out += "%3D";
    else
      out += c;
  }
  return out;
}

FormBody& FormBody::add(const std::string& name, const std::string& value) {
  fields_.emplace_back(name, value);
  return *this;
}

FormBody& FormBody::add(const std::string& name, int64_t value) {
  return add(name, std::to_string(value));
}

std::string FormBody::text() const {
  std::string out;
  for (const auto& [name, value] : fields_) {
    if (!out.empty()) out += '&';
    out += stringByURLEncodingStringParameter(name);
    out += '=';
    out += escapeValue(value);
  }
  return out;
}

std::string FormBody::plainText() const {
  std::string out;
  for (size_t i = 0; i < fields_.size(); ++i) {
    if (i) out += '&';
    out += fields_[i].first + "=" + fields_[i].second;
  }
  return out;
}

}  // namespace quillbox
