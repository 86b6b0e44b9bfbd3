// Fuzzes SoundFile::decode with WAV and CAF files. Decoded sound must have a
// plausible format and whole frames.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzCheck.h"
#include "Platform/Media/SoundFile.h"

using quillbox::platform::SoundFile;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto pcm = SoundFile::decode(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!pcm) return 0;
  FUZZ_CHECK(pcm->channels >= 1 && pcm->channels <= 8, "implausible channel count");
  FUZZ_CHECK(pcm->sampleRate >= 1000 && pcm->sampleRate <= 384000, "implausible sample rate");
  FUZZ_CHECK(pcm->samples.size() % static_cast<size_t>(pcm->channels) == 0, "a partial frame");
  FUZZ_CHECK(pcm->samples.size() <= size, "more samples than the file has bytes");
  return 0;
}
