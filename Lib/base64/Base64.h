// Base64: RFC 4648 encoding and decoding in the standard (section 4, "+/")
// and the URL- and filename-safe (section 5, "-_") alphabets.
//
// Encoding always pads with "=" to a multiple of four characters and never
// breaks lines. Decoding is strict: the text must be a whole number of
// four-character groups of the chosen alphabet, with "=" only as the last one
// or two characters; anything else (white space included) gives nullopt.
// Stateless; safe for concurrent use from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillbox {

class Base64 {
 public:
  enum class Alphabet { Standard, UrlSafe };

  static std::string encode(std::string_view bytes, Alphabet alphabet);
  // The decoded bytes; nullopt for text that isn't valid Base64 of the
  // alphabet, and for text that decodes to no bytes at all.
  static std::optional<std::string> decode(std::string_view text, Alphabet alphabet);
};

}  // namespace quillbox
