// StringExtension: the text helpers the system uses on strings (free functions).
//
// Stateless; safe from any thread. Texts are UTF-8.
#pragma once

#include <optional>
#include <string>

namespace quillbox {

// Percent-escapes a form text: letters, digits and "&", "=", "-", "_", ".",
// "~" stay; a space becomes "%20"; every other byte of the UTF-8 text becomes
// "%XX" (upper-case hex). A text that is not valid UTF-8 is returned unchanged.
std::string stringByURLEncodingStringParameter(const std::string& text);

// Percent-escapes the bytes a URL may not hold as they are: control bytes,
// space, bytes above 127 and the characters " % < > \ ^ ` { | } become "%XX"
// (upper-case hex); letters, digits and the other URL characters stay.
std::string stringByAddingPercentEscapes(const std::string& text);

// The text between the first `key1` and the first `key2` after it; nothing
// when either is missing.
std::optional<std::string> getStringBetweenKey1(const std::string& text, const std::string& key1,
                                                const std::string& key2);

}  // namespace quillbox
