#include "VersionUpdateInfo/JNIOperate.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "MD5/MD5.h"
#include "Platform/Process/Log.h"
#include "VersionUpdateInfo/jni/AesCipher.h"
#include "base64/Base64.h"

namespace quillbox {

using platform::Log;

namespace {

// The longest base64 text that can still decode to kMaxCipherBytes.
constexpr size_t kMaxCipherText = (JNIOperate::kMaxCipherBytes + 2) / 3 * 4;

void refuse(size_t size, const char* unit) {
  Log::printf("JNIOperate: ciphertext of %zu %s refused (at most %zu bytes)", size, unit,
              JNIOperate::kMaxCipherBytes);
}

std::string latin1ToUtf8(const uint8_t* bytes, size_t n) {
  std::string out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = bytes[i];
    if (b < 0x80) {
      out += static_cast<char>(b);
    } else {
      out += static_cast<char>(0xC0 | (b >> 6));
      out += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return out;
}

}  // namespace

std::string JNIOperate::decryptCipherWithKey(const std::string& key, const std::string& reply) {
  return decipher(key, reply).text;
}

const char* JNIOperate::describe(Status status) {
  switch (status) {
    case Status::Deciphered:
      return "deciphered";
    case Status::NoCipher:
      return "empty";
    case Status::NotBase64:
      return "not base64";
    case Status::TooLong:
      return "too long";
    case Status::NotBlocks:
      return "not a multiple of 16 bytes";
    case Status::BadPadding:
      return "bad padding";
  }
  return "?";
}

JNIOperate::Deciphered JNIOperate::decipher(const std::string& key, const std::string& reply) {
  const std::string keyText = MD5::getUperMD5ByString(key);
  // Servers commonly wrap base64 at 64 or 76 columns and end the body with a
  // line break; the white space carries nothing.
  std::string cipher;
  cipher.reserve(std::min(reply.size(), kMaxCipherText + 1));
  for (char c : reply) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    cipher += c;
    if (cipher.size() > kMaxCipherText) break;  // refused below, whatever follows
  }
  if (keyText.size() != 32 || cipher.empty()) return {Status::NoCipher, {}};
  // A text too long for the buffer is refused before it is decoded or logged
  // (a hostile reply must not fill the log either).
  if (cipher.size() > kMaxCipherText) {
    refuse(cipher.size(), "base64 characters");
    return {Status::TooLong, {}};
  }
  auto bytes = Base64::decode(cipher, Base64::Alphabet::Standard);
  if (!bytes) return {Status::NotBase64, {}};
  Log::printf("%s", cipher.c_str());
  if (bytes->size() > kMaxCipherBytes) {
    refuse(bytes->size(), "bytes");
    return {Status::TooLong, {}};
  }

  // Zero-filled, so the plaintext always ends at a zero byte inside the buffer:
  // padDecrypt writes at most one byte less than it reads.
  std::vector<uint8_t> input(kMaxCipherBytes, 0), output(kMaxCipherBytes, 0);
  std::memcpy(input.data(), bytes->data(), bytes->size());
  int32_t result = 0;
  {
    std::lock_guard<std::mutex> lock(jni::m_lock());
    jni::init(jni::kModeCBC, jni::kDecrypt, reinterpret_cast<const uint8_t*>(keyText.data()),
              jni::kKey32Bytes, nullptr);
    result = jni::padDecrypt(input.data(), static_cast<int32_t>(bytes->size()), output.data());
  }
  const void* zero = std::memchr(output.data(), 0, output.size());
  const size_t n =
      zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - output.data()) : output.size();
  Status status = Status::Deciphered;
  if (bytes->size() % jni::kBlockSize != 0) {
    status = Status::NotBlocks;
  } else if (result < 0) {
    status = Status::BadPadding;
  }
  return {status, latin1ToUtf8(output.data(), n)};
}

}  // namespace quillbox
