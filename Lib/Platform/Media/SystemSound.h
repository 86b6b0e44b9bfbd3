// SystemSound: short interface sounds (the shutter), played without blocking.
//
// A sound is loaded once with create() and named by the id it returns. play()
// starts it on a worker thread through the ALSA "default" device when one can be
// opened; without a device the sound completes at once. The completion callback
// then runs on the run loop of the thread that called play(), at the latest
// `timeout` after play() even if the device hangs, and exactly once per play().
// Supported files: those SoundFile decodes. SystemSound::Default() is the
// ALSA player; tests install a double (often a SystemSoundWrapper) with
// setDefaultForTesting(). All operations are safe for concurrent use from any
// thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Platform/Media/SoundFile.h"

namespace quillbox::platform {

class SystemSound {
 public:
  using PCM = SoundFile::PCM;

  SystemSound() = default;
  SystemSound(const SystemSound&) = delete;
  SystemSound& operator=(const SystemSound&) = delete;
  virtual ~SystemSound() = default;

  // The process-wide player (ALSA unless a test replaced it).
  static SystemSound& Default();
  // REQUIRES: sound outlives its use; nullptr restores the ALSA player. Gives
  // the double installed before (nullptr: none).
  static SystemSound* setDefaultForTesting(SystemSound* sound);

  // The id of a new sound loaded from `path`; nullopt and a log line when the file
  // is missing, unreadable or not a supported format.
  virtual std::optional<uint32_t> create(const std::string& path) = 0;
  // Sets the callback run when a play() of `id` completes (a later call replaces
  // it, as with the platform's own sounds). Unknown ids are ignored.
  virtual void addCompletion(uint32_t id, std::function<void()> fn) = 0;
  // Starts playing `id` and returns at once. The completion callback (as set at this
  // moment) runs on the calling thread's run loop when playback ends, or after
  // `timeout`, whichever comes first. The caller's thread must run its loop for
  // the callback to run. An unknown id logs a line and completes nothing.
  virtual void play(uint32_t id, std::chrono::milliseconds timeout) = 0;
  void play(uint32_t id) { play(id, std::chrono::seconds(3)); }
  // Forgets `id`. A play() already started still completes. Unknown ids are ignored.
  virtual void dispose(uint32_t id) = 0;
};

// Forwards every call to another player; tests override what they need.
class SystemSoundWrapper : public SystemSound {
 public:
  explicit SystemSoundWrapper(SystemSound& target) : target_(target) {}
  std::optional<uint32_t> create(const std::string& path) override { return target_.create(path); }
  void addCompletion(uint32_t id, std::function<void()> fn) override {
    target_.addCompletion(id, std::move(fn));
  }
  using SystemSound::play;
  void play(uint32_t id, std::chrono::milliseconds timeout) override { target_.play(id, timeout); }
  void dispose(uint32_t id) override { target_.dispose(id); }

 protected:
  SystemSound& target_;
};

}  // namespace quillbox::platform
