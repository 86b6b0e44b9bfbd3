// Fuzzes the automatic login's reply reader (libxml2 SAX2 without DTD loading
// or entity expansion) in both of its modes. A success is possible only for a
// "login" reply; it writes the web-info plist into a private container.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "AppURL.h"
#include "AutoLogin/AutoLogin.h"
#include "FuzzCheck.h"

using quillbox::AutoLogin;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A container of its own, so that a successful reply writes nowhere else.
  const std::string& root = fuzzPrivateDir("autologin");
  if (mkdir((root + "/Library").c_str(), 0700) != 0) std::abort();
  quillbox::AppURL::sharedAppURL().setAppURL(root);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the mode; the rest is the reply.
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const bool login = (data[0] & 1) == 0;
  auto outcome = AutoLogin::parseReplyForTesting(login ? "login" : "getName", text);
  if (!login) FUZZ_CHECK(outcome != std::optional<bool>(true), "a name look-up reply succeeded");
  return 0;
}
