// Fuzzes the automatic login's reply reader (libxml2 SAX2 without DTD loading
// or entity expansion) in both of its modes. A success is possible only for a
// "login" reply; it writes the web-info plist into a private container.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "AppURL.h"
#include "AutoLogin/AutoLogin.h"
#include "FuzzCheck.h"

using quillbox::AutoLogin;

namespace {
std::string g_dir;
void removeDir() {
  std::filesystem::remove_all(g_dir);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A container of its own, so that a successful reply writes nowhere else.
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/quillbox-fuzz-autologin-XXXXXX";
  if (!mkdtemp(dir.data())) std::abort();
  const std::string root = dir;
  g_dir = root;
  std::atexit(removeDir);
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
