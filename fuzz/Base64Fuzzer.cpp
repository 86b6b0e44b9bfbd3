// Fuzzes the Base64 decoders (Base64, NSDataToBase64Encoding,
// NSStringToBase64). Each decoding must agree with the plain decoder of its
// alphabet, re-encoding decoded bytes must decode to the same bytes again, and
// the lenient decoder must give whatever the strict one gives.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "PropertyList/Utf8.h"
#include "base64/Base64.h"
#include "base64/NSDataToBase64Encoding.h"
#include "base64/NSStringToBase64.h"

using quillbox::Base64;
using quillbox::NSDataToBase64Encoding;
using quillbox::NSStringToBase64;
using quillbox::Utf8;

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
  Base64::DecodeOptions lenient{Base64::Alphabet::Either, true, true, true};
  auto relaxed = Base64::decode(text, lenient);
  FUZZ_CHECK(!standard || relaxed == standard, "the lenient decoder refused or changed valid text");
  FUZZ_CHECK(!urlSafe || relaxed == urlSafe, "the lenient decoder refused or changed valid text");
  FUZZ_CHECK(NSDataToBase64Encoding::decodeBase64(text) == standard,
             "NSDataToBase64Encoding::decodeBase64 differs from the standard decoder");
  FUZZ_CHECK(NSStringToBase64::dataByDecodeBase64(text) == standard,
             "dataByDecodeBase64 differs from the standard decoder");

  // The text decoders give the decoder's bytes when they are UTF-8, else nothing.
  auto checkText = [](const std::optional<std::string>& got,
                      const std::optional<std::string>& bytes, const char* what) {
    if (got) {
      FUZZ_CHECK(bytes && *got == *bytes, what);
      FUZZ_CHECK(Utf8::isValid(*got), what);
    } else {
      FUZZ_CHECK(!bytes || !Utf8::isValid(*bytes), what);
    }
  };
  checkText(NSStringToBase64::decodeBase64(text), standard,
            "decodeBase64 differs from the standard decoder's UTF-8 text");
  checkText(NSStringToBase64::webSafeDecodeBase64(text), urlSafe,
            "webSafeDecodeBase64 differs from the URL-safe decoder's UTF-8 text");
  (void)NSDataToBase64Encoding::encodeBase64(text);
  return 0;
}
