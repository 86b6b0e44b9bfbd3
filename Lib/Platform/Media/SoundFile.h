// SoundFile: the samples of a sound file held in memory.
//
// Supported files: WAV with 8- or 16-bit PCM (also WAVE_FORMAT_EXTENSIBLE) and
// CAF with linear PCM (integer 8/16/24/32-bit or float 32/64-bit). Portable
// and stateless: safe for concurrent use from any thread. SystemSound plays
// what it decodes.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace quillbox::platform {

class SoundFile {
 public:
  // Decoded samples: interleaved signed 16-bit.
  struct PCM {
    int channels = 0;
    int sampleRate = 0;
    std::vector<int16_t> samples;
  };

  // The samples of a WAV or CAF file; nullopt when it is malformed or not a
  // supported format (no log line).
  static std::optional<PCM> decode(std::string_view bytes);
};

}  // namespace quillbox::platform
