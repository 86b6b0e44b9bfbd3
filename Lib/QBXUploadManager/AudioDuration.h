// AudioDuration: the playing time of an audio file, read from its headers.
//
// Understands the containers the client application records into: RIFF WAVE
// ("fmt " byte rate and "data" size), AIFF/AIFF-C ("COMM" frames and rate),
// Core Audio Format ("desc" and "pakt"/"data") and MPEG-4 audio (the "mvhd"
// duration of "moov"). Only the headers are read (through the platform's
// sequential file), never the samples. Stateless; safe from any thread.
#pragma once

#include <optional>
#include <string>

namespace quillbox {

class AudioDuration {
 public:
  // The playing time in seconds; nullopt when the file can't be read or isn't
  // audio in one of the containers above (or its header is inconsistent).
  static std::optional<double> playingTimeSeconds(const std::string& path);
};

}  // namespace quillbox
