#include "VersionUpdateInfo/jni/AesCipher.h"

#include <array>
#include <cstring>

namespace quillbox::jni {

int32_t m_state = 1;
int32_t m_mode = kModeCBC;
int32_t m_direction = kEncrypt;
uint8_t m_initVector[kBlockSize] = {};
int32_t m_uRounds = 0;
uint8_t m_expandedKey[(kMaxRounds + 1) * kBlockSize] = {};

std::mutex& m_lock() {
  static std::mutex lock;
  return lock;
}

namespace {

using Table = std::array<uint8_t, 256>;

constexpr uint8_t xtime(uint8_t x) {
  return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1B : 0));
}

constexpr uint8_t gmul(uint8_t a, uint8_t b) {
  uint8_t p = 0;
  for (; b; b >>= 1, a = xtime(a))
    if (b & 1) p ^= a;
  return p;
}

constexpr uint8_t rotl8(uint8_t x, int s) {
  return static_cast<uint8_t>((x << s) | (x >> (8 - s)));
}

// The S-box from its definition: multiplicative inverse in GF(2^8) followed
// by the affine map. Walking p through the powers of 3 and q through the
// powers of its inverse gives every non-zero element with its inverse.
constexpr Table makeSbox() {
  Table s{};
  uint8_t p = 1, q = 1;
  do {
    p = static_cast<uint8_t>(p ^ (p << 1) ^ ((p & 0x80) ? 0x1B : 0));
    q ^= static_cast<uint8_t>(q << 1);
    q ^= static_cast<uint8_t>(q << 2);
    q ^= static_cast<uint8_t>(q << 4);
    if (q & 0x80) q ^= 0x09;
    s[p] = q ^ rotl8(q, 1) ^ rotl8(q, 2) ^ rotl8(q, 3) ^ rotl8(q, 4) ^ 0x63;
  } while (p != 1);
  s[0] = 0x63;
  return s;
}

constexpr Table makeInverse(const Table& s) {
  Table inv{};
  for (int i = 0; i < 256; ++i) inv[s[i]] = static_cast<uint8_t>(i);
  return inv;
}

constexpr Table makeMul(uint8_t factor) {
  Table t{};
  for (int i = 0; i < 256; ++i) t[i] = gmul(static_cast<uint8_t>(i), factor);
  return t;
}

constexpr Table kSbox = makeSbox();
constexpr Table kInvSbox = makeInverse(kSbox);
constexpr Table kMul9 = makeMul(9), kMul11 = makeMul(11), kMul13 = makeMul(13),
                kMul14 = makeMul(14);
static_assert(kSbox[0x00] == 0x63 && kSbox[0x53] == 0xED && kSbox[0xFF] == 0x16);

// State bytes are in input order: byte 4c + r is row r of column c.
void invMixColumn(uint8_t* c) {
  const uint8_t a0 = c[0], a1 = c[1], a2 = c[2], a3 = c[3];
  c[0] = kMul14[a0] ^ kMul11[a1] ^ kMul13[a2] ^ kMul9[a3];
  c[1] = kMul9[a0] ^ kMul14[a1] ^ kMul11[a2] ^ kMul13[a3];
  c[2] = kMul13[a0] ^ kMul9[a1] ^ kMul14[a2] ^ kMul11[a3];
  c[3] = kMul11[a0] ^ kMul13[a1] ^ kMul9[a2] ^ kMul14[a3];
}

// InvShiftRows and InvSubBytes together: row r moves r columns to the right.
void invShiftSub(uint8_t* s) {
  uint8_t t[kBlockSize];
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 4; ++r) t[4 * ((c + r) % 4) + r] = kInvSbox[s[4 * c + r]];
  std::memcpy(s, t, kBlockSize);
}

void addRoundKey(uint8_t* s, const uint8_t* k) {
  for (int i = 0; i < kBlockSize; ++i) s[i] ^= k[i];
}

}  // namespace

int32_t init(int32_t mode, int32_t direction, const uint8_t* key, int32_t keyLength,
             const uint8_t* initVector) {
  m_state = 1;
  if (mode != kModeCBC) return kUnsupportedMode;
  m_mode = mode;
  if (direction != kEncrypt && direction != kDecrypt) return kBadDirection;
  m_direction = direction;
  if (initVector)
    std::memcpy(m_initVector, initVector, kBlockSize);
  else
    std::memset(m_initVector, 0, kBlockSize);
  switch (keyLength) {
    case kKey16Bytes:
      m_uRounds = 10;
      break;
    case kKey24Bytes:
      m_uRounds = 12;
      break;
    case kKey32Bytes:
      m_uRounds = 14;
      break;
    default:
      return kBadKeyLength;
  }
  if (!key) return kNoKey;
  keySched(key);
  if (direction == kDecrypt) keyEncToDec();
  m_state = 0;
  return kSuccess;
}

void keySched(const uint8_t* key) {
  const int nk = m_uRounds - 6;           // key words
  const int words = 4 * (m_uRounds + 1);  // round-key words
  uint8_t* w = m_expandedKey;             // word i is w[4i..4i+3]
  std::memcpy(w, key, static_cast<size_t>(nk) * 4);
  uint8_t rcon = 1;
  for (int i = nk; i < words; ++i) {
    uint8_t t[4];
    std::memcpy(t, w + 4 * (i - 1), 4);
    if (i % nk == 0) {
      const uint8_t first = t[0];
      t[0] = kSbox[t[1]] ^ rcon;
      t[1] = kSbox[t[2]];
      t[2] = kSbox[t[3]];
      t[3] = kSbox[first];
      rcon = xtime(rcon);
    } else if (nk > 6 && i % nk == 4) {
      for (uint8_t& b : t) b = kSbox[b];
    }
    for (int j = 0; j < 4; ++j) w[4 * i + j] = w[4 * (i - nk) + j] ^ t[j];
  }
}

void keyEncToDec() {
  // The equivalent inverse cipher: round keys in reverse order, the inner
  // ones passed through InvMixColumns.
  uint8_t* k = m_expandedKey;
  for (int lo = 0, hi = m_uRounds; lo < hi; ++lo, --hi) {
    uint8_t t[kBlockSize];
    std::memcpy(t, k + kBlockSize * lo, kBlockSize);
    std::memcpy(k + kBlockSize * lo, k + kBlockSize * hi, kBlockSize);
    std::memcpy(k + kBlockSize * hi, t, kBlockSize);
  }
  for (int r = 1; r < m_uRounds; ++r)
    for (int c = 0; c < 4; ++c) invMixColumn(k + kBlockSize * r + 4 * c);
}

void jniDecrypt(const uint8_t* in, uint8_t* out) {
  uint8_t s[kBlockSize];
  std::memcpy(s, in, kBlockSize);
  addRoundKey(s, m_expandedKey);
  for (int r = 1; r < m_uRounds; ++r) {
    invShiftSub(s);
    for (int c = 0; c < 4; ++c) invMixColumn(s + 4 * c);
    addRoundKey(s, m_expandedKey + kBlockSize * r);
  }
  invShiftSub(s);
  addRoundKey(s, m_expandedKey + kBlockSize * m_uRounds);
  std::memcpy(out, s, kBlockSize);
}

int32_t padDecrypt(const uint8_t* input, int32_t inputOctets, uint8_t* outBuffer) {
  if (m_state != 0) return kNotInitialized;
  if (m_direction != kDecrypt) return kWrongDirection;
  if (!input || inputOctets <= 0) return 0;
  if (inputOctets % kBlockSize != 0) return kCorruptedData;
  if (m_mode != kModeCBC) return kUnsupportedMode;

  const int32_t blocks = inputOctets / kBlockSize;
  uint8_t chain[kBlockSize], cipher[kBlockSize], block[kBlockSize];
  std::memcpy(chain, m_initVector, kBlockSize);
  for (int32_t b = 0; b < blocks; ++b) {
    // The ciphertext block is kept aside first, so input and output may overlap.
    std::memcpy(cipher, input + kBlockSize * b, kBlockSize);
    jniDecrypt(cipher, block);
    for (int i = 0; i < kBlockSize; ++i) block[i] ^= chain[i];
    std::memcpy(chain, cipher, kBlockSize);
    if (b + 1 < blocks) std::memcpy(outBuffer + kBlockSize * b, block, kBlockSize);
  }
  const int32_t pad = block[kBlockSize - 1];
  if (pad < 1 || pad > kBlockSize) return kCorruptedData;
  for (int i = kBlockSize - pad; i < kBlockSize; ++i)
    if (block[i] != pad) return kCorruptedData;
  std::memcpy(outBuffer + kBlockSize * (blocks - 1), block, static_cast<size_t>(kBlockSize - pad));
  return kBlockSize * blocks - pad;
}

}  // namespace quillbox::jni
