// ServerText: small text helpers the reference service's handlers share.
#pragma once

#include <openssl/evp.h>

#include <string>
#include <string_view>

#include "Text/Hex.h"

namespace quillbox::devserver {

// ASCII letters lowered; other bytes (UTF-8 included) kept as they are.
inline std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// A digest's bytes as lowercase hexadecimal.
inline std::string hexOf(const unsigned char* md, unsigned int len) {
  return Hex::encode(md, len);
}

// SHA-1 of `text` as 40 lowercase hexadecimal digits.
inline std::string sha1Hex(std::string_view text) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(text.data(), text.size(), md, &len, EVP_sha1(), nullptr);
  return hexOf(md, len);
}

}  // namespace quillbox::devserver
