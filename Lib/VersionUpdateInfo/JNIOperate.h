// JNIOperate: turns the update server's enciphered reply into its plaintext.
//
// The reply is base64 (standard alphabet, padded) of an AES-256-CBC
// ciphertext with PKCS #7 padding and a zero IV; the key is the 32 ASCII
// characters of the upper-case MD5 text of the key string. Safe to call from
// any thread: decipherments are serialised on the cipher module's lock.
#pragma once

#include <cstddef>
#include <string>

namespace quillbox {

class JNIOperate {
 public:
  // The most ciphertext bytes (after base64 decoding) a reply may have.
  static constexpr size_t kMaxCipherBytes = 10240;

  // The plaintext: the deciphered bytes up to the first zero byte, read as
  // Latin-1 and given as UTF-8. Never fails: an empty key or cipher, text that
  // is not base64, a length that is not a multiple of 16 give ""; bad padding
  // gives the plaintext of all blocks but the last; a ciphertext of more than
  // kMaxCipherBytes is refused with one log line and gives "". Line breaks and
  // spaces in the base64 text (wrapped lines, a final newline) are ignored.
  static std::string decryptCipherWithKey(const std::string& key, const std::string& reply);
};

}  // namespace quillbox
