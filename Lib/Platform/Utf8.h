// Utf8: the one check of UTF-8 text in the system.
//
// Well-formed means RFC 3629: no overlong forms, no surrogates (U+D800 to
// U+DFFF), nothing past U+10FFFF, no stray continuation bytes, no sequence cut
// off at the end. Stateless; safe from any thread.
#pragma once

#include <string_view>

namespace quillbox::platform {

class Utf8 {
 public:
  // True when `bytes` is well-formed UTF-8 (the empty text is).
  static bool isValid(std::string_view bytes);
};

}  // namespace quillbox::platform
