// SystemSound: short interface sounds (the shutter), played without blocking.
//
// A sound is loaded once with create() and named by the id it returns. play()
// starts it on a worker thread through the ALSA "default" device when one can be
// opened; without a device the sound completes at once. The completion callback
// then runs on the run loop of the thread that called play(), at the latest
// `timeout` after play() even if the device hangs, and exactly once per play().
// Supported files: those SoundFile decodes.
// All operations are safe for concurrent use from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Media/SoundFile.h"

namespace quillbox::platform {

class SystemSound {
 public:
  using PCM = SoundFile::PCM;

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
};

}  // namespace quillbox::platform
