// Fuzzes AudioDuration, the reader of audio container headers (RIFF WAVE,
// AIFF/AIFF-C, Core Audio Format, MPEG-4). It reads files, so each input is
// written to a private file first. A playing time it gives must be a finite,
// non-negative number.
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "QBXUploadManager/AudioDuration.h"

using quillbox::AudioDuration;

namespace {
std::string g_path;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_path = fuzzPrivateDir("audio") + "/recording";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = open(g_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  FUZZ_CHECK(fd >= 0, "cannot write the audio file");
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    FUZZ_CHECK(n > 0, "cannot write the audio file");
    done += static_cast<size_t>(n);
  }
  close(fd);
  auto seconds = AudioDuration::playingTimeSeconds(g_path);
  if (seconds) FUZZ_CHECK(std::isfinite(*seconds) && *seconds >= 0, "implausible playing time");
  return 0;
}
