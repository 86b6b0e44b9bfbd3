// SystemSound: short interface sounds (the shutter), played without blocking.
//
// A sound is loaded once with create() and named by the id it returns. play()
// starts it on a worker thread through the ALSA "default" device when one can be
// opened; without a device the sound completes at once. The completion callback
// then runs on the run loop of the thread that called play(), at the latest
// `timeout` after play() even if the device hangs, and exactly once per play().
// Supported files: WAV with 8- or 16-bit PCM (also WAVE_FORMAT_EXTENSIBLE) and
// CAF with linear PCM (integer 8/16/24/32-bit or float 32/64-bit).
// All operations are safe for concurrent use from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillbox::platform {

class SystemSound {
 public:
  // Decoded samples of a sound file: interleaved signed 16-bit.
  struct PCM {
    int channels = 0;
    int sampleRate = 0;
    std::vector<int16_t> samples;
  };

  // The id of a new sound loaded from `path`; nullopt and a log line when the file
  // is missing, unreadable or not a supported format.
  static std::optional<uint32_t> create(const std::string& path);
  // Sets the callback run when a play() of `id` completes (a later call replaces
  // it, as with the platform's own sounds). Unknown ids are ignored.
  static void addCompletion(uint32_t id, std::function<void()> fn);
  // Starts playing `id` and returns at once. The completion callback (as set at this
  // moment) runs on the calling thread's run loop when playback ends, or after
  // `timeout`, whichever comes first. The caller's thread must run its loop for
  // the callback to run. An unknown id logs a line and completes nothing.
  static void play(uint32_t id, std::chrono::milliseconds timeout = std::chrono::seconds(3));
  // Forgets `id`. A play() already started still completes. Unknown ids are ignored.
  static void dispose(uint32_t id);

  // The samples of a WAV or CAF file held in memory; nullopt when it is malformed or
  // not a supported format (no log line).
  static std::optional<PCM> decode(std::string_view bytes);
};

}  // namespace quillbox::platform
