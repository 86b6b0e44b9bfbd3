// CoseSign1: COSE_Sign1_Tagged signatures (RFC 9052) as content credentials use them.
//
// The claim is signed with a detached payload: the protected header holds the
// algorithm (label 1) and the signer's certificate chain (x5chain, label 33:
// one certificate as a byte string, several as an array of them); the
// unprotected header may hold a time stamp ("sigTst2": {"tstTokens": [{"val":
// TimeStampToken}]}) over the signature and zero padding ("pad", "pad2");
// the payload is nil. parse() reads such a structure from untrusted bytes.
//
// Stateless; every operation may be called from any thread.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "C2pa/CborValue.h"

namespace quillbox {

class CoseSign1 {
 public:
  // The digest a COSE algorithm signs with (ES256/384/512, PS256/384/512);
  // nullptr for EdDSA, which hashes by itself, and for algorithms not known.
  static const EVP_MD* digestOf(int64_t alg);
  // The encoded protected header of `alg` and `chain` (DER certificates).
  static std::string protectedHeader(int64_t alg, const std::vector<std::string>& chain);
  // The encoded Sig_structure [context, protected, h'', payload] that is signed.
  static std::string toBeSigned(std::string_view context, std::string_view protectedBytes,
                                std::string_view payload);
  // The SHA-256 (32 raw bytes) a time stamp over `signature` covers: of the
  // "CounterSignature" structure whose payload is the signature's encoded byte string.
  static std::string timeStampImprint(std::string_view protectedBytes, std::string_view signature);
  // The unprotected header holding `token` (may be empty: none), padded with
  // zeros so that the whole structure encodes to `size` bytes when that is
  // reachable; nullopt when it can't fit.
  static std::optional<CborValue> unprotectedHeader(std::string_view protectedBytes,
                                                    std::string_view signature,
                                                    std::string_view token,
                                                    std::optional<size_t> size);
  // The encoded COSE_Sign1_Tagged structure.
  static std::string encode(std::string_view protectedBytes, const CborValue& unprotected,
                            std::string_view signature);

  struct Parsed {
    std::string protectedBytes;
    int64_t algorithm = 0;
    std::vector<std::string> chain;  // DER, signer first
    std::string signature;
    std::string timeStampToken;    // DER TimeStampToken of "sigTst2", "" when none
    bool legacyTimeStamp = false;  // a "sigTst" header (over the claim), not checked
  };
  // nullopt, with `error`, when `cose` is not a COSE_Sign1_Tagged structure
  // with an algorithm and exactly one certificate chain.
  static std::optional<Parsed> parse(std::string_view cose, std::string* error);

  // True when `signature` (COSE form) of `toBeSigned` verifies with the
  // public key of certificate `certDer` under COSE algorithm `alg`.
  static bool verify(int64_t alg, std::string_view certDer, std::string_view toBeSigned,
                     std::string_view signature);
};

}  // namespace quillbox
