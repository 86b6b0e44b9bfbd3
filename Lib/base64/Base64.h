// Base64: the one RFC 4648 codec of the system, in the standard (section 4,
// "+/") and the URL- and filename-safe (section 5, "-_") alphabets.
//
// Encoding always pads with "=" to a multiple of four characters and never
// breaks lines. Decoding is strict unless told otherwise: the text must be a
// whole number of four-character groups of the chosen alphabet, with "=" only
// as the last one or two characters; anything else (white space included)
// gives nullopt. Lenient readers (property-list data, form fields of other
// clients) relax that with DecodeOptions. Bits left over in the last group are
// ignored. Stateless; safe for concurrent use from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillbox {

class Base64 {
 public:
  // Either: a decoder accepts both "+/" and "-_" (encoding uses "+/").
  enum class Alphabet { Standard, UrlSafe, Either };

  struct DecodeOptions {
    Alphabet alphabet = Alphabet::Standard;
    bool skipWhitespace = false;   // space, tab, CR and LF anywhere are ignored
    bool paddingOptional = false;  // a last group of 2 or 3 characters may omit "="
    bool allowEmpty = false;       // text that decodes to no bytes gives "", not nullopt
  };

  static std::string encode(std::string_view bytes, Alphabet alphabet);
  // Strict decoding; nullopt for invalid text and for text that decodes to no
  // bytes at all.
  static std::optional<std::string> decode(std::string_view text, Alphabet alphabet);
  // Decoding as `options` say; nullopt for text they don't allow. Characters
  // after a padded group (other than skipped white space) are invalid.
  static std::optional<std::string> decode(std::string_view text, const DecodeOptions& options);
};

}  // namespace quillbox
