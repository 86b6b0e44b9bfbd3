// ServerText: small text helpers the reference service's handlers share.
#pragma once

#include <openssl/evp.h>

#include <string>
#include <string_view>

#include "Text/Hex.h"

namespace quillbox::devserver {

// Texts of the service's replies, in one place for both of its forms.
inline constexpr const char* kXmlHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
inline constexpr const char* kLoginOk = "登录成功";
inline constexpr const char* kWrongPassword = "用户名或密码错误";
inline constexpr const char* kWrongClient = "客户端认证失败";
inline constexpr const char* kMissingField = "缺少参数";
inline constexpr const char* kUnknownPhone = "手机号未注册";
inline constexpr const char* kUnknownService = "unknown service";
inline constexpr const char* kBadToken = "invalid or missing access token";
inline constexpr const char* kBadCookie = "invalid or missing session cookie";
inline constexpr const char* kNoSuchFile = "no such file";
inline constexpr const char* kNotFound = "not found";
inline constexpr const char* kOk = "ok";
inline constexpr const char* kCannotWrite = "cannot write the file";

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
