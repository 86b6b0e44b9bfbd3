// Fuzzes the text validators of CommonRegex and the form-text helpers of
// StringExtension with arbitrary bytes (valid UTF-8 or not).
#include <cstddef>
#include <cstdint>
#include <string>

#include "CommonLib/CommonRegex.h"
#include "CommonLib/StringExtension.h"
#include "FuzzCheck.h"

using quillbox::CommonRegex;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const long units = CommonRegex::utf16Length(text);
  FUZZ_CHECK(units <= static_cast<long>(size), "more UTF-16 units than bytes");

  const bool tel = CommonRegex::isValidateTel(text);
  FUZZ_CHECK(!tel || (size == 11 && text[0] == '1'), "a telephone number of another shape");
  if (tel)
    for (char c : text) FUZZ_CHECK(c >= '0' && c <= '9', "a telephone number with a non-digit");
  const bool pwd = CommonRegex::isValidatePwd(text);
  FUZZ_CHECK(!pwd || units >= 8, "a short password accepted");
  (void)CommonRegex::isValidateEmail(text);
  (void)CommonRegex::isValidateURL(text);
  (void)CommonRegex::isValidateIDCard(text);

  const std::string encoded = quillbox::stringByURLEncodingStringParameter(text);
  if (units < 0) {
    FUZZ_CHECK(encoded == text, "invalid UTF-8 was not returned unchanged");
  } else {
    for (char c : encoded) {
      const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '&' || c == '=' || c == '-' || c == '_' || c == '.' || c == '~' ||
                      c == '%';
      FUZZ_CHECK(ok, "an unescaped byte in a form text");
    }
  }

  // The text split at its first NUL into a text and two keys.
  const size_t cut = text.find('\0');
  if (cut != std::string::npos) {
    const std::string rest = text.substr(cut + 1);
    const size_t cut2 = rest.find('\0');
    const std::string key1 = rest.substr(0, cut2);
    const std::string key2 = cut2 == std::string::npos ? std::string() : rest.substr(cut2 + 1);
    auto between = quillbox::getStringBetweenKey1(text.substr(0, cut), key1, key2);
    if (between) FUZZ_CHECK(between->size() <= cut, "a piece longer than its text");
  }
  return 0;
}
