// PercentEncoding: the one percent-encoder of URLs and form values.
//
// Every byte but the ASCII letters and digits and the caller's own set of
// characters left as they are becomes "%XX" (upper-case hexadecimal). Each
// caller keeps its set, as each form of the system escapes differently. Pure
// functions, safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace quillbox {

class PercentEncoding {
 public:
  // `text` with every byte escaped but letters, digits and those in `unescaped`.
  static std::string encode(std::string_view text, std::string_view unescaped);
};

}  // namespace quillbox
