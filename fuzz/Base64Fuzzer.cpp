// Fuzzes the Base64 decoders (Base64, NSDataToBase64Encoding, NSStringToBase64).
// Each decoding must agree with the plain decoder of its alphabet, and
// re-encoding decoded bytes must decode to the same bytes again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "base64/Base64.h"
#include "base64/NSDataToBase64Encoding.h"
#include "base64/NSStringToBase64.h"

using quillbox::Base64;
using quillbox::NSDataToBase64Encoding;
using quillbox::NSStringToBase64;

namespace {

void checkAlphabet(std::string_view text, Base64::Alphabet alphabet) {
  auto bytes = Base64::decode(text, alphabet);
  if (!bytes) return;
  FUZZ_CHECK(!bytes->empty(), "decode gave no bytes but not nullopt");
  FUZZ_CHECK(bytes->size() == text.size() / 4 * 3 - (text.size() - text.find_last_not_of('=') - 1),
             "decoded length does not follow from the text");
  const std::string encoded = Base64::encode(*bytes, alphabet);
  FUZZ_CHECK(encoded.size() == text.size(), "re-encoding changed the length");
  auto again = Base64::decode(encoded, alphabet);
  FUZZ_CHECK(again && *again == *bytes, "encode(decode(x)) does not decode to the same bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  checkAlphabet(text, Base64::Alphabet::Standard);
  checkAlphabet(text, Base64::Alphabet::UrlSafe);

  auto standard = Base64::decode(text, Base64::Alphabet::Standard);
  auto urlSafe = Base64::decode(text, Base64::Alphabet::UrlSafe);
  FUZZ_CHECK(NSDataToBase64Encoding::decodeBase64(text) == standard,
             "NSDataToBase64Encoding::decodeBase64 differs from the standard decoder");
  FUZZ_CHECK(NSStringToBase64::dataByDecodeBase64(text) == standard,
             "dataByDecodeBase64 differs from the standard decoder");

  auto asText = NSStringToBase64::decodeBase64(text);
  if (asText) {
    FUZZ_CHECK(standard && *asText == *standard, "decodeBase64 gave other bytes");
    FUZZ_CHECK(NSStringToBase64::isValidUtf8(*asText), "decodeBase64 gave invalid UTF-8");
  } else {
    FUZZ_CHECK(!standard || !NSStringToBase64::isValidUtf8(*standard),
               "decodeBase64 refused valid UTF-8");
  }
  auto webText = NSStringToBase64::webSafeDecodeBase64(text);
  if (webText) {
    FUZZ_CHECK(urlSafe && *webText == *urlSafe, "webSafeDecodeBase64 gave other bytes");
    FUZZ_CHECK(NSStringToBase64::isValidUtf8(*webText), "webSafeDecodeBase64 gave invalid UTF-8");
  } else {
    FUZZ_CHECK(!urlSafe || !NSStringToBase64::isValidUtf8(*urlSafe),
               "webSafeDecodeBase64 refused valid UTF-8");
  }
  (void)NSDataToBase64Encoding::encodeBase64(text);
  return 0;
}
