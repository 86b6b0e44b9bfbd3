// AesCipher: the block cipher under the update reply, as a module of free
// functions over one process-wide context.
//
// AES (FIPS 197: 128-bit blocks, 16-, 24- or 32-byte keys) and padded
// multi-block deciphering in CBC mode with PKCS #7 padding. init() installs a
// key in the context; jniDecrypt() and padDecrypt() use it.
//
// Threads: the context (m_state, m_mode, ...) is shared by the whole process
// and the functions take no lock. A caller holds m_lock() from its init()
// through its last padDecrypt()/jniDecrypt(), so that two decipherments never
// interleave (JNIOperate does).
#pragma once

#include <cstdint>
#include <mutex>

namespace quillbox::jni {

constexpr int32_t kBlockSize = 16;
constexpr int32_t kMaxRounds = 14;

// Mode codes: CBC is the one mode here.
constexpr int32_t kModeCBC = 1;
// Direction codes.
constexpr int32_t kEncrypt = 0;
constexpr int32_t kDecrypt = 1;
// Key length codes: 16 bytes (10 rounds), 24 bytes (12), 32 bytes (14).
constexpr int32_t kKey16Bytes = 0;
constexpr int32_t kKey24Bytes = 1;
constexpr int32_t kKey32Bytes = 2;

// Status codes of init() and padDecrypt().
constexpr int32_t kSuccess = 0;
constexpr int32_t kUnsupportedMode = -1;
constexpr int32_t kBadDirection = -2;
constexpr int32_t kBadKeyLength = -3;
constexpr int32_t kNoKey = -4;
constexpr int32_t kNotInitialized = -5;
constexpr int32_t kWrongDirection = -6;
constexpr int32_t kCorruptedData = -7;

// The process-wide context.
extern int32_t m_state;      // 0 when a key is installed, 1 otherwise
extern int32_t m_mode;       // kModeCBC
extern int32_t m_direction;  // kEncrypt or kDecrypt
extern uint8_t m_initVector[kBlockSize];
extern int32_t m_uRounds;  // 10, 12 or 14
// Round keys, 16 bytes a round in state order; after keyEncToDec() the round
// keys of the equivalent inverse cipher, in the order deciphering uses them.
extern uint8_t m_expandedKey[(kMaxRounds + 1) * kBlockSize];

// The lock a caller holds around init() and the deciphering that follows.
std::mutex& m_lock();

// Installs a key: the first 16, 24 or 32 bytes of `key` by `keyLength` code;
// `initVector` (16 bytes) or, when nullptr, 16 zero bytes. Gives kSuccess, or
// kUnsupportedMode, kBadDirection, kBadKeyLength, kNoKey (key nullptr). The
// context holds no key from the start of the call until it succeeds.
int32_t init(int32_t mode, int32_t direction, const uint8_t* key, int32_t keyLength,
             const uint8_t* initVector);

// Standard AES key expansion of `key` (m_uRounds - 6 words) into m_expandedKey.
// REQUIRES: m_uRounds set. Used by init() only.
void keySched(const uint8_t* key);
// Turns the expanded key into the round keys of deciphering. Used by init() only.
void keyEncToDec();

// Deciphers one block. `in` and `out` may be the same 16 bytes.
// REQUIRES: a key installed for kDecrypt.
void jniDecrypt(const uint8_t* in, uint8_t* out);

// Deciphers a padded message of `inputOctets` bytes in the installed mode and
// writes the plaintext to `outBuffer`. Gives the plaintext length; 0 for no
// input or a length of 0 or less; kNotInitialized, kWrongDirection,
// kCorruptedData (length not a multiple of 16, or bad padding: the output then
// holds every block but the last), kUnsupportedMode.
// REQUIRES: `outBuffer` has room for `inputOctets` bytes (at most
// inputOctets - 1 are written).
int32_t padDecrypt(const uint8_t* input, int32_t inputOctets, uint8_t* outBuffer);

}  // namespace quillbox::jni
