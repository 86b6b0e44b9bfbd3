#include "C2pa/PngChunks.h"

#include <array>

namespace quillbox {
namespace {

constexpr std::string_view kSignature{"\x89PNG\r\n\x1a\n", 8};
constexpr uint32_t kMaxLength = 0x7fffffffu;  // the largest a PNG chunk may declare

uint32_t be32(std::string_view d, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(d[at])) << 24 |
         static_cast<uint32_t>(static_cast<uint8_t>(d[at + 1])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(d[at + 2])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(d[at + 3]));
}

void put32(std::string* out, uint32_t v) {
  for (int i = 3; i >= 0; --i) out->push_back(static_cast<char>(v >> (8 * i)));
}

const std::array<uint32_t, 256>& crcTable() {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  return table;
}

}  // namespace

uint32_t PngChunks::crc(std::string_view bytes) {
  const auto& table = crcTable();
  uint32_t c = 0xffffffffu;
  for (char ch : bytes) c = table[(c ^ static_cast<uint8_t>(ch)) & 0xff] ^ (c >> 8);
  return c ^ 0xffffffffu;
}

std::string PngChunks::chunk(std::string_view type, std::string_view data) {
  std::string out;
  out.reserve(data.size() + 12);
  put32(&out, static_cast<uint32_t>(data.size()));
  out.append(type);
  out.append(data);
  put32(&out, crc(std::string_view(out).substr(4)));
  return out;
}

std::optional<std::vector<PngChunks::Chunk>> PngChunks::list(std::string_view png) {
  if (png.substr(0, kSignature.size()) != kSignature) return std::nullopt;
  std::vector<Chunk> chunks;
  size_t at = kSignature.size();
  while (at < png.size()) {
    if (png.size() - at < 12) return std::nullopt;
    const uint32_t length = be32(png, at);
    if (length > kMaxLength || length > png.size() - at - 12) return std::nullopt;
    chunks.push_back({std::string(png.substr(at + 4, 4)), at, length});
    at += chunks.back().size();
    if (chunks.back().type == "IEND") break;
  }
  if (chunks.empty() || chunks.front().type != "IHDR" || chunks.back().type != "IEND" ||
      at != png.size()) {
    return std::nullopt;
  }
  return chunks;
}

}  // namespace quillbox
