// Fuzzes the keychain's handling of its property list (top-level array of
// item dictionaries). The keychain reads a file, so each input is written to
// a private owner-only file that QUILLBOX_KEYCHAIN names.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "Platform/Files/Keychain.h"

using quillbox::platform::Keychain;

namespace {
std::string g_path;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_path = fuzzPrivateDir("keychain") + "/keychain.plist";
  setenv("QUILLBOX_KEYCHAIN", g_path.c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = open(g_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  FUZZ_CHECK(fd >= 0, "cannot write the keychain file");
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    FUZZ_CHECK(n > 0, "cannot write the keychain file");
    done += static_cast<size_t>(n);
  }
  close(fd);
  (void)Keychain::Default().passwordFor("quillbox", "com.velmor.quillbox");
  (void)Keychain::Default().passwordFor("", "");
  return 0;
}
