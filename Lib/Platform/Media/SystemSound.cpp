#include "Platform/Media/SystemSound.h"

#include <alsa/asoundlib.h>

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "Platform/Files/FileSystem.h"
#include "Platform/Loop/RunLoop.h"
#include "Platform/Media/SoundFile.h"
#include "Platform/Process/Log.h"
#include "Platform/Process/Threads.h"

namespace quillbox::platform {
namespace {

// Log lines of this module.
constexpr const char* kLogUnreadable = "SystemSound: cannot read the sound file %s";
constexpr const char* kLogUnsupported = "SystemSound: %s is not a supported sound file";
constexpr const char* kLogUnknownId = "SystemSound: no sound with id %u";
constexpr const char* kLogTimedOut = "SystemSound: sound %u did not finish in %lld ms";

constexpr size_t kMaxFileSize = 32u << 20;
constexpr const char* kDevice = "default";

struct Sound {
  SystemSound::PCM pcm;
  std::function<void()> completion;
};

std::mutex& registryMutex() {
  static std::mutex m;
  return m;
}
std::map<uint32_t, std::shared_ptr<Sound>>& registry() {
  static std::map<uint32_t, std::shared_ptr<Sound>> r;
  return r;
}
uint32_t nextId = 1;  // guarded by registryMutex()

// --- Playback -----------------------------------------------------------------

void silentAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

// Plays the samples on the default device; returns when done or when no device
// could be opened. Runs on a worker thread.
void playOnDevice(const SystemSound::PCM& pcm) {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(silentAlsaErrors); });
  snd_pcm_t* dev = nullptr;
  // Opened without blocking so that a busy device fails instead of waiting.
  if (snd_pcm_open(&dev, kDevice, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) return;
  if (snd_pcm_nonblock(dev, 0) < 0 ||
      snd_pcm_set_params(dev, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, pcm.channels,
                         pcm.sampleRate, 1, 100000) < 0) {
    snd_pcm_close(dev);
    return;
  }
  const size_t frames = pcm.samples.size() / pcm.channels;
  size_t done = 0;
  int recoveries = 0;
  while (done < frames) {
    const snd_pcm_sframes_t n =
        snd_pcm_writei(dev, pcm.samples.data() + done * pcm.channels, frames - done);
    if (n >= 0) {
      done += static_cast<size_t>(n);
    } else if (++recoveries > 8 || snd_pcm_recover(dev, static_cast<int>(n), 1) < 0) {
      break;
    }
  }
  snd_pcm_drain(dev);
  snd_pcm_close(dev);
}

// One play(): completes once, on the caller's loop, by the worker or by the timer.
struct Playback {
  uint32_t id = 0;
  std::function<void()> completion;
  std::shared_ptr<RunLoop> loop;
  uint64_t timer = 0;
  bool finished = false;  // touched only on loop's thread

  void finish(bool timedOut, long long timeoutMs) {
    if (finished) return;
    finished = true;
    if (timedOut) {
      Log::printf(kLogTimedOut, id, timeoutMs);
    } else if (timer) {
      loop->cancelTimer(timer);
    }
    if (completion) completion();
  }
};

// Plays through ALSA's "default" device on a worker thread per play().
class AlsaSystemSound final : public SystemSound {
 public:
  std::optional<uint32_t> create(const std::string& path) override;
  void addCompletion(uint32_t id, std::function<void()> fn) override;
  using SystemSound::play;
  void play(uint32_t id, std::chrono::milliseconds timeout) override;
  void dispose(uint32_t id) override;
};

std::atomic<SystemSound*> g_override{nullptr};

}  // namespace

SystemSound& SystemSound::Default() {
  if (SystemSound* o = g_override.load()) return *o;
  static auto* alsa = new AlsaSystemSound;
  return *alsa;
}

SystemSound* SystemSound::setDefaultForTesting(SystemSound* sound) {
  return g_override.exchange(sound);
}

std::optional<uint32_t> AlsaSystemSound::create(const std::string& path) {
  auto attrs = FileSystem::Default().attributes(path);
  if (!attrs || attrs->isDirectory || attrs->size > static_cast<int64_t>(kMaxFileSize)) {
    Log::printf(kLogUnreadable, path.c_str());
    return std::nullopt;
  }
  auto bytes = FileSystem::Default().readFile(path);
  if (!bytes) {
    Log::printf(kLogUnreadable, path.c_str());
    return std::nullopt;
  }
  auto pcm = SoundFile::decode(*bytes);
  if (!pcm) {
    Log::printf(kLogUnsupported, path.c_str());
    return std::nullopt;
  }
  auto sound = std::make_shared<Sound>();
  sound->pcm = std::move(*pcm);
  std::lock_guard<std::mutex> lock(registryMutex());
  const uint32_t id = nextId++;
  if (nextId == 0) nextId = 1;
  registry()[id] = std::move(sound);
  return id;
}

void AlsaSystemSound::addCompletion(uint32_t id, std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(registryMutex());
  auto it = registry().find(id);
  if (it != registry().end()) it->second->completion = std::move(fn);
}

void AlsaSystemSound::play(uint32_t id, std::chrono::milliseconds timeout) {
  std::shared_ptr<Sound> sound;
  std::function<void()> completion;
  {
    std::lock_guard<std::mutex> lock(registryMutex());
    auto it = registry().find(id);
    if (it != registry().end()) {
      sound = it->second;
      completion = sound->completion;
    }
  }
  if (!sound) {
    Log::printf(kLogUnknownId, id);
    return;
  }
  auto pb = std::make_shared<Playback>();
  pb->id = id;
  pb->completion = std::move(completion);
  pb->loop = RunLoop::currentShared();
  const long long ms = std::max<long long>(0, timeout.count());
  // The timer can fire only when this thread runs its loop, after `timer` is set.
  pb->timer =
      pb->loop->addTimer(std::chrono::milliseconds(ms), false, [pb, ms] { pb->finish(true, ms); });
  auto played = Threads::Default().startThread("sound", [pb, sound, ms] {
    playOnDevice(sound->pcm);
    pb->loop->perform([pb, ms] { pb->finish(false, ms); });
  });
  // No thread to play on: the sound completes at once, as without a device.
  if (!played) pb->loop->perform([pb, ms] { pb->finish(false, ms); });
}

void AlsaSystemSound::dispose(uint32_t id) {
  std::shared_ptr<Sound> gone;  // released outside the lock
  std::lock_guard<std::mutex> lock(registryMutex());
  auto it = registry().find(id);
  if (it == registry().end()) return;
  gone = std::move(it->second);
  registry().erase(it);
}

}  // namespace quillbox::platform
