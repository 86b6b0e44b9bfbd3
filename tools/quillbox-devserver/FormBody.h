// FormBody: the name/value pairs of an application/x-www-form-urlencoded text.
//
// The service's clients escape spaces as "%20" and a plus sign as "%2B", so a
// literal "+" stands for itself here (it is NOT read as a space). A field is
// split at its first "=", so padding "=" inside a Base64 value survives. A value
// type: safe to share between threads once built.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillbox::devserver {

class FormBody {
 public:
  // Splits `text` at "&" and each field at its first "="; names and values are
  // percent-decoded. Empty fields are skipped. Never fails.
  static FormBody parse(std::string_view text);
  // Decodes "%XX" escapes; a malformed escape is kept as it stands.
  static std::string percentDecode(std::string_view text);

  // The value of the first field called `name`; nullopt when absent.
  std::optional<std::string> get(const std::string& name) const;
  // The value of `name`, or "" when absent.
  std::string value(const std::string& name) const;
  const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }

 private:
  std::vector<std::pair<std::string, std::string>> fields_;
};

// Text checks used to validate form fields.
bool isHexDigest40(std::string_view text);  // 40 hexadecimal digits
bool isDecimal(std::string_view text);      // 1 to 18 decimal digits
// Decodes standard or URL-safe Base64, padding optional; nullopt on bad input.
std::optional<std::string> decodeBase64(std::string_view text);
// Escapes &, <, >, " and ' for XML text.
std::string xmlEscape(std::string_view text);

}  // namespace quillbox::devserver
