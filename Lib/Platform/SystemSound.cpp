#include "Platform/SystemSound.h"

#include <alsa/asoundlib.h>

#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "Platform/AudioChunks.h"
#include "Platform/FileSystem.h"
#include "Platform/Log.h"
#include "Platform/RunLoop.h"

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

// --- File formats -----------------------------------------------------------

struct Reader {
  std::string_view b;
  bool has(size_t off, size_t n) const { return off <= b.size() && n <= b.size() - off; }
  uint32_t le32(size_t o) const {
    return uint32_t(uint8_t(b[o])) | uint32_t(uint8_t(b[o + 1])) << 8 |
           uint32_t(uint8_t(b[o + 2])) << 16 | uint32_t(uint8_t(b[o + 3])) << 24;
  }
  uint16_t le16(size_t o) const { return uint16_t(uint8_t(b[o]) | uint8_t(b[o + 1]) << 8); }
  uint32_t be32(size_t o) const {
    return uint32_t(uint8_t(b[o])) << 24 | uint32_t(uint8_t(b[o + 1])) << 16 |
           uint32_t(uint8_t(b[o + 2])) << 8 | uint32_t(uint8_t(b[o + 3]));
  }
  uint64_t be64(size_t o) const { return uint64_t(be32(o)) << 32 | be32(o + 4); }
  bool tag(size_t o, const char* t) const { return has(o, 4) && b.substr(o, 4) == t; }
};

bool plausible(int channels, double rate) {
  return channels >= 1 && channels <= 8 && rate >= 1000 && rate <= 384000;
}

// One sample of `bits` integer or float PCM at p, as signed 16-bit.
int16_t sampleAt(const unsigned char* p, int bits, bool isFloat, bool little, bool unsigned8) {
  const int bytes = bits / 8;
  if (bits == 8)
    return static_cast<int16_t>((unsigned8 ? int(p[0]) - 128 : int(int8_t(p[0]))) << 8);
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= uint64_t(p[little ? i : bytes - 1 - i]) << (8 * i);
  if (isFloat) {
    double d;
    if (bits == 32) {
      uint32_t u = static_cast<uint32_t>(v);
      float f;
      memcpy(&f, &u, 4);
      d = f;
    } else {
      memcpy(&d, &v, 8);
    }
    if (!std::isfinite(d)) d = 0;
    return static_cast<int16_t>(std::lround(std::clamp(d, -1.0, 1.0) * 32767.0));
  }
  // Keep the top 16 bits of the signed value.
  const int64_t s = static_cast<int64_t>(v << (64 - bits)) >> (64 - bits);
  return static_cast<int16_t>(s >> (bits - 16));
}

std::optional<SystemSound::PCM> convert(const Reader& r, size_t off, size_t len, int channels,
                                        int rate, int bits, bool isFloat, bool little,
                                        bool unsigned8) {
  const size_t frameBytes = static_cast<size_t>(channels) * (bits / 8);
  if (!r.has(off, len)) len = r.b.size() - std::min(off, r.b.size());  // short file: what is there
  const size_t frames = len / frameBytes;
  if (frames == 0) return std::nullopt;
  SystemSound::PCM pcm;
  pcm.channels = channels;
  pcm.sampleRate = rate;
  pcm.samples.resize(frames * channels);
  const auto* p = reinterpret_cast<const unsigned char*>(r.b.data()) + off;
  for (size_t i = 0; i < pcm.samples.size(); ++i, p += bits / 8)
    pcm.samples[i] = sampleAt(p, bits, isFloat, little, unsigned8);
  return pcm;
}

// The chunks of the sound file in memory.
void walkChunks(const Reader& r, AudioChunks::Container container,
                const std::function<bool(const AudioChunks::Chunk&)>& visit) {
  AudioChunks::walk(
      container,
      [&r](int64_t offset, void* buffer, size_t n) {
        if (offset < 0 || !r.has(static_cast<size_t>(offset), n)) return false;
        memcpy(buffer, r.b.data() + offset, n);
        return true;
      },
      AudioChunks::firstChunk(container), static_cast<int64_t>(r.b.size()), visit);
}

std::optional<SystemSound::PCM> decodeWAV(const Reader& r) {
  int channels = 0, bits = 0;
  uint32_t rate = 0;
  bool haveFmt = false;
  std::optional<SystemSound::PCM> pcm;
  walkChunks(r, AudioChunks::Container::Wave, [&](const AudioChunks::Chunk& c) {
    const size_t body = static_cast<size_t>(c.body);
    if (c.tag == "fmt ") {
      if (c.size < 16 || !r.has(body, 16)) return false;
      uint16_t format = r.le16(body);
      channels = r.le16(body + 2);
      rate = r.le32(body + 4);
      bits = r.le16(body + 14);
      if (format == 0xFFFE && c.size >= 40 && r.has(body, 40)) format = r.le16(body + 24);
      if (format != 1 || (bits != 8 && bits != 16) || !plausible(channels, rate)) return false;
      haveFmt = true;
      return true;
    }
    if (c.tag != "data") return true;
    if (haveFmt)
      pcm = convert(r, body, static_cast<size_t>(c.size), channels, static_cast<int>(rate), bits,
                    false, true, true);
    return false;
  });
  return pcm;
}

std::optional<SystemSound::PCM> decodeCAF(const Reader& r) {
  if (!r.has(4, 4) || r.be32(4) >> 16 != 1) return std::nullopt;  // file version 1
  int channels = 0, bits = 0, rate = 0;
  bool isFloat = false, little = false, haveDesc = false;
  std::optional<SystemSound::PCM> pcm;
  walkChunks(r, AudioChunks::Container::Caf, [&](const AudioChunks::Chunk& c) {
    const size_t body = static_cast<size_t>(c.body);
    if (c.tag == "desc") {
      if (c.size < 32 || !r.has(body, 32)) return false;
      const uint64_t rateBits = r.be64(body);
      double sampleRate;
      memcpy(&sampleRate, &rateBits, 8);
      const uint32_t flags = r.be32(body + 12);
      channels = static_cast<int>(r.be32(body + 24));
      bits = static_cast<int>(r.be32(body + 28));
      isFloat = flags & 1;
      little = flags & 2;
      const uint32_t bytesPerPacket = r.be32(body + 16), framesPerPacket = r.be32(body + 20);
      if (!r.tag(body + 8, "lpcm") || !std::isfinite(sampleRate) ||
          !plausible(channels, sampleRate))
        return false;
      if (isFloat ? (bits != 32 && bits != 64)
                  : (bits != 8 && bits != 16 && bits != 24 && bits != 32))
        return false;
      if (framesPerPacket != 1 || bytesPerPacket != static_cast<uint32_t>(channels * bits / 8))
        return false;
      rate = static_cast<int>(std::lround(sampleRate));
      haveDesc = true;
      return true;
    }
    if (c.tag != "data") return true;
    // The data chunk opens with a 4-byte edit count; the samples are what the
    // file holds after it.
    if (haveDesc && c.available >= 4 && (c.toEnd || c.size >= 4))
      pcm = convert(r, body + 4, static_cast<size_t>(c.available - 4), channels, rate, bits,
                    isFloat, little, false);
    return false;
  });
  return pcm;
}

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

}  // namespace

std::optional<SystemSound::PCM> SystemSound::decode(std::string_view bytes) {
  Reader r{bytes};
  if (r.tag(0, "RIFF") && r.tag(8, "WAVE")) return decodeWAV(r);
  if (r.tag(0, "caff")) return decodeCAF(r);
  return std::nullopt;
}

std::optional<uint32_t> SystemSound::create(const std::string& path) {
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
  auto pcm = decode(*bytes);
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

void SystemSound::addCompletion(uint32_t id, std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(registryMutex());
  auto it = registry().find(id);
  if (it != registry().end()) it->second->completion = std::move(fn);
}

void SystemSound::play(uint32_t id, std::chrono::milliseconds timeout) {
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
  std::thread([pb, sound, ms] {
    playOnDevice(sound->pcm);
    pb->loop->perform([pb, ms] { pb->finish(false, ms); });
  }).detach();
}

void SystemSound::dispose(uint32_t id) {
  std::shared_ptr<Sound> gone;  // released outside the lock
  std::lock_guard<std::mutex> lock(registryMutex());
  auto it = registry().find(id);
  if (it == registry().end()) return;
  gone = std::move(it->second);
  registry().erase(it);
}

}  // namespace quillbox::platform
