// Utf8: the one check of UTF-8 text in the system.
//
// Well-formed means RFC 3629: no overlong forms, no surrogates (U+D800 to
// U+DFFF), nothing past U+10FFFF, no stray continuation bytes, no sequence cut
// off at the end. Stateless; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quillbox {

class Utf8 {
 public:
  // True when `bytes` is well-formed UTF-8 (the empty text is).
  static bool isValid(std::string_view bytes);
  // Decodes the code point that starts at `p` (before `end`): its length in
  // bytes (1 to 4) with the code point in `cp`, or 0 when the bytes there are
  // not well-formed UTF-8.
  static size_t decode(const unsigned char* p, const unsigned char* end, uint32_t& cp);
};

}  // namespace quillbox
