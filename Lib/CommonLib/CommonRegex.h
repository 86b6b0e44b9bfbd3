// CommonRegex: the validity tests of user-entered texts.
//
// Every pattern is matched against the whole text (the text is accepted only
// when the pattern matches all of it) with PCRE2 in UTF and Unicode-property
// mode, which follows ICU's semantics for what these patterns use: \d, \s, \w
// and \b are Unicode-aware, "." stops at any line terminator, [a-z] stays
// ASCII. Lengths are counted in UTF-16 code units, as the platform's strings
// count them. A text that is not valid UTF-8, or a match that exceeds the
// backtracking budget, is refused with a log line. Stateless; safe from any
// thread.
#pragma once

#include <string>

namespace quillbox {

class CommonRegex {
 public:
  // 11 characters, first "1", matching "[1-9]\d*|0".
  static bool isValidateTel(const std::string& text);
  // At least 8 characters and not only lower-case letters, not only digits,
  // and not free of lower-case letters and digits.
  static bool isValidatePwd(const std::string& text);
  static bool isValidateEmail(const std::string& text);
  static bool isValidateURL(const std::string& text);
  // All but the last character are ASCII digits; the empty text is refused.
  static bool isValidateIDCard(const std::string& text);

  // Whole-text match of a pattern (compiled once per pattern text and cached).
  // False for an invalid pattern or text.
  static bool matches(const std::string& pattern, const std::string& text);
  // Length of a UTF-8 text in UTF-16 code units (-1 when not valid UTF-8).
  static long utf16Length(const std::string& text);
};

}  // namespace quillbox
