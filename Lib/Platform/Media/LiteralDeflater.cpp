#include "Platform/Media/LiteralDeflater.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <utility>
#include <vector>

namespace quillbox::platform {
namespace {

constexpr int kLiterals = 257;  // the bytes and the end of block
constexpr int kEndOfBlock = 256;
constexpr int kDistances = 2;  // unused, but every decoder wants a complete distance code
constexpr int kMaxLiteralBits = 15;
constexpr int kMaxLengthBits = 7;
// The order in which the lengths of the code-length code are sent (RFC 1951, 3.2.7).
constexpr std::array<int, 19> kLengthOrder = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                              11, 4,  12, 3, 13, 2, 14, 1, 15};

// Bits are gathered least significant first into a 64-bit word and stored a
// whole word at a time; the buffer always has 8 bytes to spare.
class Bits {
 public:
  explicit Bits(uint8_t* at) : p_(at) {}
  // REQUIRES: count + n <= 56 since the last flush.
  void put(uint64_t value, unsigned n) {
    word_ |= value << count_;
    count_ += n;
  }
  void flush() {
    store(word_);
    p_ += count_ >> 3;
    word_ = count_ >= 64 ? 0 : word_ >> (count_ & ~7u);
    count_ &= 7;
  }
  // Flushes, padding the last byte with zero bits; gives the end.
  uint8_t* finish() {
    flush();
    if (count_) ++p_;
    return p_;
  }

 private:
  void store(uint64_t w) {
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(p_, &w, 8);
    } else {
      for (int i = 0; i < 8; ++i) p_[i] = static_cast<uint8_t>(w >> (8 * i));
    }
  }
  uint8_t* p_;
  uint64_t word_ = 0;
  unsigned count_ = 0;
};

// Huffman code lengths of at most maxBits for the n symbols of freq (zero for
// an unused symbol). At least two symbols get a length, so the code is complete.
void codeLengths(const uint32_t* freq, int n, int maxBits, uint8_t* len) {
  std::vector<std::pair<uint32_t, int>> used;  // (frequency, symbol), rarest first
  for (int s = 0; s < n; ++s) {
    len[s] = 0;
    if (freq[s]) used.emplace_back(freq[s], s);
  }
  for (int s = 0; used.size() < 2 && s < n; ++s)
    if (!freq[s]) used.emplace_back(1, s);
  std::sort(used.begin(), used.end());
  const int m = static_cast<int>(used.size());

  // The tree from the sorted leaves and a queue of the inner nodes, whose
  // weights come out in order: leaves are 0..m-1, inner nodes m..2m-2.
  std::vector<uint64_t> weight(2 * m - 1);
  std::vector<int> parent(2 * m - 1, -1);
  for (int i = 0; i < m; ++i) weight[i] = used[i].first;
  int leaf = 0, inner = m;
  for (int k = m; k < 2 * m - 1; ++k) {
    auto take = [&] {
      if (leaf < m && (inner >= k || weight[leaf] <= weight[inner])) return leaf++;
      return inner++;
    };
    const int a = take(), b = take();
    weight[k] = weight[a] + weight[b];
    parent[a] = parent[b] = k;
  }
  std::vector<int> depth(2 * m - 1, 0);
  std::vector<int> count(maxBits + 1, 0);
  for (int k = 2 * m - 3; k >= 0; --k) {
    depth[k] = depth[parent[k]] + 1;
    if (k < m) ++count[std::min(depth[k], maxBits)];
  }
  // Codes cut to maxBits overfill the code space: take one of the longest
  // away and split a shorter one until it is exactly full again.
  uint32_t total = 0;
  for (int b = maxBits; b > 0; --b) total += static_cast<uint32_t>(count[b]) << (maxBits - b);
  while (total != (1u << maxBits)) {
    --count[maxBits];
    for (int b = maxBits - 1; b > 0; --b) {
      if (count[b]) {
        --count[b];
        count[b + 1] += 2;
        break;
      }
    }
    --total;
  }
  // The rarest symbols get the longest codes.
  int next = 0;
  for (int b = maxBits; b > 0; --b)
    for (int i = 0; i < count[b]; ++i) len[used[next++].second] = static_cast<uint8_t>(b);
}

// The canonical codes of the lengths (RFC 1951, 3.2.2), bit-reversed because
// deflate sends Huffman codes most significant bit first into an LSB-first stream.
void canonicalCodes(const uint8_t* len, int n, uint16_t* code) {
  std::array<int, 16> count{};
  for (int s = 0; s < n; ++s) ++count[len[s]];
  count[0] = 0;
  std::array<uint32_t, 16> next{};
  uint32_t c = 0;
  for (int b = 1; b < 16; ++b) {
    c = (c + count[b - 1]) << 1;
    next[b] = c;
  }
  for (int s = 0; s < n; ++s) {
    if (!len[s]) continue;
    uint32_t v = next[len[s]]++, r = 0;
    for (int i = 0; i < len[s]; ++i, v >>= 1) r = (r << 1) | (v & 1);
    code[s] = static_cast<uint16_t>(r);
  }
}

}  // namespace

size_t LiteralDeflater::bound(size_t size) {
  // At most 15 bits a byte, the header, the flush, and the 8 spare bytes.
  return size * 15 / 8 + 1024;
}

size_t LiteralDeflater::write(const uint8_t* data, size_t size, bool last, uint8_t* out) {
  // Byte frequencies, in four tables so that neighbouring equal bytes don't
  // wait on each other's counter.
  std::array<std::array<uint32_t, 256>, 4> parts{};
  size_t i = 0;
  for (; i + 4 <= size; i += 4) {
    ++parts[0][data[i]];
    ++parts[1][data[i + 1]];
    ++parts[2][data[i + 2]];
    ++parts[3][data[i + 3]];
  }
  for (; i < size; ++i) ++parts[0][data[i]];
  std::array<uint32_t, kLiterals> freq{};
  for (int s = 0; s < 256; ++s) freq[s] = parts[0][s] + parts[1][s] + parts[2][s] + parts[3][s];
  freq[kEndOfBlock] = 1;

  std::array<uint8_t, kLiterals> litLen{};
  std::array<uint16_t, kLiterals> litCode{};
  codeLengths(freq.data(), kLiterals, kMaxLiteralBits, litLen.data());
  canonicalCodes(litLen.data(), kLiterals, litCode.data());
  // The lengths sent, each as a symbol of the code-length code (no repeat
  // symbols: a few dozen bytes a block at most).
  std::array<uint8_t, kLiterals + kDistances> lengths{};
  std::copy(litLen.begin(), litLen.end(), lengths.begin());
  lengths[kLiterals] = lengths[kLiterals + 1] = 1;
  std::array<uint32_t, 19> lenFreq{};
  for (uint8_t l : lengths) ++lenFreq[l];
  std::array<uint8_t, 19> lenLen{};
  std::array<uint16_t, 19> lenCode{};
  codeLengths(lenFreq.data(), 19, kMaxLengthBits, lenLen.data());
  canonicalCodes(lenLen.data(), 19, lenCode.data());
  int sent = 19;
  while (sent > 4 && !lenLen[kLengthOrder[sent - 1]]) --sent;

  Bits bits(out);
  bits.put(last ? 1 : 0, 1);
  bits.put(2, 2);  // dynamic Huffman codes
  bits.put(kLiterals - 257, 5);
  bits.put(kDistances - 1, 5);
  bits.put(static_cast<uint64_t>(sent - 4), 4);
  bits.flush();
  for (int k = 0; k < sent; ++k) {
    bits.put(lenLen[kLengthOrder[k]], 3);
    if (k % 8 == 7) bits.flush();
  }
  bits.flush();
  for (uint8_t l : lengths) {
    bits.put(lenCode[l], lenLen[l]);
    bits.flush();
  }
  // The body: three codes of at most 15 bits fit between flushes.
  std::array<uint32_t, 256> entry{};
  for (int s = 0; s < 256; ++s) entry[s] = litCode[s] | (static_cast<uint32_t>(litLen[s]) << 16);
  i = 0;
  for (; i + 3 <= size; i += 3) {
    const uint32_t a = entry[data[i]], b = entry[data[i + 1]], c = entry[data[i + 2]];
    bits.put(a & 0xffff, a >> 16);
    bits.put(b & 0xffff, b >> 16);
    bits.put(c & 0xffff, c >> 16);
    bits.flush();
  }
  for (; i < size; ++i) {
    bits.put(entry[data[i]] & 0xffff, entry[data[i]] >> 16);
    bits.flush();
  }
  bits.put(litCode[kEndOfBlock], litLen[kEndOfBlock]);
  if (!last) bits.put(0, 3);  // an empty stored block: to a byte boundary, then 00 00 FF FF
  uint8_t* end = bits.finish();
  if (!last) {
    static const uint8_t kStoredEmpty[4] = {0x00, 0x00, 0xff, 0xff};
    std::memcpy(end, kStoredEmpty, 4);
    end += 4;
  }
  return static_cast<size_t>(end - out);
}

}  // namespace quillbox::platform
