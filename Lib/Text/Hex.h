// Hex: bytes as hexadecimal text and back, one table for the whole system.
// Pure functions, safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillbox {

class Hex {
 public:
  // Two digits per byte, lower case ("%02x") or, with `upper`, upper case ("%02X").
  static std::string encode(std::string_view bytes, bool upper = false);
  static std::string encode(const unsigned char* bytes, size_t n, bool upper = false);
  // The two digits of one byte, appended to `out`.
  static void append(std::string& out, unsigned char byte, bool upper);
  // The value of one hexadecimal digit (either case); -1 for any other character.
  static int digitValue(char c);
};

}  // namespace quillbox
