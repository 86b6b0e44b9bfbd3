// FormBody: a form body (application/x-www-form-urlencoded) built from
// ordered name/value pairs.
//
// Each value is escaped with stringByURLEncodingStringParameter and, in
// addition, "&" becomes "%26" and "=" becomes "%3D", so a value can never split
// a field or add one. For values without "&" and "=", text() is exactly the
// bytes that escaping the joined "name=value&..." text as a whole would give.
// Names are written as given (they are the system's own constants). Plain
// value type; not synchronised.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace quillbox {

class FormBody {
 public:
  FormBody() = default;
  FormBody& add(const std::string& name, const std::string& value);
  FormBody& add(const std::string& name, int64_t value);

  // The escaped body, fields in insertion order joined by "&".
  std::string text() const;
  // The unescaped "name=value&..." text (for log lines).
  std::string plainText() const;
  bool empty() const { return fields_.empty(); }
  const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }

  // One value escaped as text() escapes it.
  static std::string escapeValue(const std::string& value);

 private:
  std::vector<std::pair<std::string, std::string>> fields_;
};

}  // namespace quillbox
