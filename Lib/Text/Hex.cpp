#include "Text/Hex.h"

namespace quillbox {

namespace {
constexpr char kLower[] = "0123456789abcdef";
constexpr char kUpper[] = "0123456789ABCDEF";
}  // namespace

void Hex::append(std::string& out, unsigned char byte, bool upper) {
  const char* digits = upper ? kUpper : kLower;
  out += digits[byte >> 4];
  out += digits[byte & 0x0f];
}

std::string Hex::encode(const unsigned char* bytes, size_t n, bool upper) {
  std::string out;
  out.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) append(out, bytes[i], upper);
  return out;
}

std::string Hex::encode(std::string_view bytes, bool upper) {
  return encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), upper);
}

int Hex::digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace quillbox
