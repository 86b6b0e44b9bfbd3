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

  // What became of a reply, for callers that must tell a valid empty
  // plaintext (an announcement of nothing) from a reply that is not what
  // the server enciphers.
  enum class Status {
    Deciphered,  // the padding held: `text` is the whole plaintext (it may be empty)
    NoCipher,    // no key, or nothing but white space
    NotBase64,
    TooLong,     // more than kMaxCipherBytes
    NotBlocks,   // a length that is not a multiple of 16
    BadPadding,  // `text` holds every block but the last
  };
  struct Deciphered {
    Status status = Status::NoCipher;
    std::string text;  // as decryptCipherWithKey() gives it
  };
  // decryptCipherWithKey() with its status.
  static Deciphered decipher(const std::string& key, const std::string& reply);
  // "deciphered", "empty", "not base64", "too long", "not a multiple of 16 bytes",
  // "bad padding".
  static const char* describe(Status status);
};

}  // namespace quillbox
