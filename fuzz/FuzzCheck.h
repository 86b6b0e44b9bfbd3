// FuzzCheck: the one assertion the fuzz targets use, and their private folder.
//
// A broken property is reported with its message and ends the run with
// abort(), which libFuzzer records as a crash together with the input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#define FUZZ_CHECK(cond, what)                                                            \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "FUZZ_CHECK failed at %s:%d: %s\n", __FILE__, __LINE__, what); \
      std::abort();                                                                       \
    }                                                                                     \
  } while (0)

// A folder of the target's own under $TMPDIR (else /tmp), removed at exit.
inline const std::string& fuzzPrivateDir(const char* name) {
  static std::string dir;
  if (!dir.empty()) return dir;
  const char* tmp = std::getenv("TMPDIR");
  std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/quillbox-fuzz-" + name + "-XXXXXX";
  if (!mkdtemp(path.data())) std::abort();
  dir = path;
  std::atexit([] { std::filesystem::remove_all(dir); });
  return dir;
}
