// System sounds: file formats, refusal of bad files, and the completion contract
// (on the caller's run loop, exactly once, never long after the timeout) with no
// device, with a device that plays, and with a device that hangs.
// ctest-labels: threaded (run under ThreadSanitizer by make test-tsan)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "Platform/Loop/RunLoop.h"
#include "Platform/Media/SystemSound.h"
#include "TestSupport.h"

using namespace quillbox;
using namespace quillbox::platform;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string bundledSound() {
  return std::string(QUILLBOX_SOURCE_DIR) + "/share/quillbox/sounds/photoShutter.wav";
}

std::string le(uint32_t v, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += static_cast<char>(v >> (8 * i));
  return s;
}
std::string be(uint64_t v, int n) {
  std::string s;
  for (int i = n - 1; i >= 0; --i) s += static_cast<char>(v >> (8 * i));
  return s;
}

std::string wav(int format, int channels, int rate, int bits, const std::string& data) {
  const int align = channels * bits / 8;
  std::string fmt = le(format, 2) + le(channels, 2) + le(rate, 4) + le(rate * align, 4) +
                    le(align, 2) + le(bits, 2);
  // An unknown chunk before the format must be skipped.
  std::string body = "WAVE" + std::string("LIST") + le(3, 4) + "abc" + '\0' + "fmt " +
                     le(fmt.size(), 4) + fmt + "data" + le(data.size(), 4) + data;
  return "RIFF" + le(body.size(), 4) + body;
}

std::string caf(uint32_t flags, int channels, double rate, int bits, const std::string& audio,
                bool openEnded = false) {
  uint64_t rateBits;
  memcpy(&rateBits, &rate, 8);
  std::string desc = be(rateBits, 8) + "lpcm" + be(flags, 4) + be(channels * bits / 8, 4) +
                     be(1, 4) + be(channels, 4) + be(bits, 4);
  const uint64_t dataSize = openEnded ? ~uint64_t{0} : audio.size() + 4;
  return std::string("caff") + be(1, 2) + be(0, 2) + "desc" + be(desc.size(), 8) + desc + "data" +
         be(dataSize, 8) + be(0, 4) + audio;
}

// Plays `id` and runs this thread's loop until its completion stops it (a
// minute at most: a hang guard, no speed is asserted).
struct PlayResult {
  bool completed = false;
  int calls = 0;
  bool onThisThread = false;
  std::chrono::milliseconds elapsed{0};
};
PlayResult playAndWait(uint32_t id, std::chrono::milliseconds timeout) {
  auto result = std::make_shared<PlayResult>();
  const auto me = std::this_thread::get_id();
  SystemSound::Default().addCompletion(id, [result, me] {
    ++result->calls;
    result->onThisThread = std::this_thread::get_id() == me;
    RunLoop::current().stop();
  });
  const auto start = std::chrono::steady_clock::now();
  SystemSound::Default().play(id, timeout);
  result->completed = RunLoop::current().runFor(60s);
  result->elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  // Let a late second completion (the other of timer and worker) show if there were one.
  RunLoop::current().runFor(timeout + 300ms);
  return *result;
}

// Points ALSA's configuration at `conf` for the life of the object.
class AlsaConfig {
 public:
  explicit AlsaConfig(const std::string& conf) { setenv("ALSA_CONFIG_PATH", conf.c_str(), 1); }
  ~AlsaConfig() { unsetenv("ALSA_CONFIG_PATH"); }
};

}  // namespace

TEST(SystemSoundCreate, RefusesMissingUnreadableAndUnsupportedFiles) {
  TempDir dir;
  EXPECT_FALSE(SystemSound::Default().create(dir.file("missing.caf")));
  EXPECT_FALSE(SystemSound::Default().create(dir.file("")));  // a directory
  writeFile(dir.file("junk.wav"), "RIFF....WAVEjunk");
  EXPECT_FALSE(SystemSound::Default().create(dir.file("junk.wav")));
  writeFile(dir.file("empty.wav"), "");
  EXPECT_FALSE(SystemSound::Default().create(dir.file("empty.wav")));
  // Formats outside the supported set: float WAV, 24-bit WAV, a WAV without data.
  writeFile(dir.file("float.wav"), wav(3, 1, 8000, 32, std::string(64, '\0')));
  EXPECT_FALSE(SystemSound::Default().create(dir.file("float.wav")));
  writeFile(dir.file("24.wav"), wav(1, 1, 8000, 24, std::string(66, '\0')));
  EXPECT_FALSE(SystemSound::Default().create(dir.file("24.wav")));
  writeFile(dir.file("nodata.wav"), wav(1, 1, 8000, 16, ""));
  EXPECT_FALSE(SystemSound::Default().create(dir.file("nodata.wav")));
  // Absurd header values.
  writeFile(dir.file("ch.wav"), wav(1, 0, 8000, 16, std::string(64, '\0')));
  EXPECT_FALSE(SystemSound::Default().create(dir.file("ch.wav")));
  writeFile(dir.file("aac.caf"),
            caf(0, 1, 44100, 16, std::string(64, '\0')).replace(28, 4, "aac "));
  EXPECT_FALSE(SystemSound::Default().create(dir.file("aac.caf")));
  EXPECT_TRUE(SystemSound::Default().create(bundledSound()));
}

TEST(SystemSoundDecode, ReadsWavAndCafSamples) {
  // The bundled shutter: 16-bit mono WAV.
  std::ifstream in(bundledSound(), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  auto shutter = SoundFile::decode(bytes);
  ASSERT_TRUE(shutter);
  EXPECT_EQ(shutter->channels, 1);
  EXPECT_EQ(shutter->sampleRate, 22050);
  EXPECT_EQ(shutter->samples.size(), (bytes.size() - 44) / 2);

  // 8-bit WAV is unsigned around 128.
  auto u8 = SoundFile::decode(wav(1, 2, 11025, 8, std::string("\x80\xff\x00\x80", 4)));
  ASSERT_TRUE(u8);
  EXPECT_EQ(u8->channels, 2);
  EXPECT_EQ(u8->samples, (std::vector<int16_t>{0, 127 << 8, -128 << 8, 0}));

  // 16-bit little-endian WAV; a trailing half frame is dropped.
  auto s16 = SoundFile::decode(wav(1, 1, 8000, 16, le(0x1234, 2) + le(0xFFFE, 2) + "x"));
  ASSERT_TRUE(s16);
  EXPECT_EQ(s16->samples, (std::vector<int16_t>{0x1234, -2}));

  // CAF: big-endian 16-bit integers, little-endian 16-bit, 32-bit float, open-ended data.
  auto beCaf = SoundFile::decode(caf(0, 1, 44100, 16, be(0x0102, 2) + be(0x8000, 2)));
  ASSERT_TRUE(beCaf);
  EXPECT_EQ(beCaf->sampleRate, 44100);
  EXPECT_EQ(beCaf->samples, (std::vector<int16_t>{0x0102, -32768}));
  auto leCaf = SoundFile::decode(caf(2, 1, 48000, 16, le(0x0102, 2)));
  ASSERT_TRUE(leCaf);
  EXPECT_EQ(leCaf->samples, (std::vector<int16_t>{0x0102}));
  float half = 0.5f;
  uint32_t halfBits;
  memcpy(&halfBits, &half, 4);
  auto fCaf = SoundFile::decode(caf(1, 1, 22050, 32, be(halfBits, 4), true));
  ASSERT_TRUE(fCaf);
  EXPECT_EQ(fCaf->samples, (std::vector<int16_t>{16384}));
  auto s8Caf = SoundFile::decode(caf(0, 1, 8000, 8, std::string("\x80\x7f", 2)));
  ASSERT_TRUE(s8Caf);
  EXPECT_EQ(s8Caf->samples, (std::vector<int16_t>{-32768, 127 << 8}));

  // Every truncation of a valid file is either refused or decoded, never a crash.
  const std::string whole = caf(0, 2, 8000, 16, std::string(40, '\x11'));
  for (size_t n = 0; n < whole.size(); ++n) (void)SoundFile::decode(whole.substr(0, n));
}

TEST(SystemSoundPlay, CompletesOnTheCallersLoopWithoutADevice) {
  TempDir dir;
  // A configuration whose "default" device cannot be opened.
  writeFile(dir.file("asound.conf"), "pcm.!default { type hw card 97 }\n");
  AlsaConfig conf(dir.file("asound.conf"));
  auto id = SystemSound::Default().create(bundledSound());
  ASSERT_TRUE(id);
  PlayResult r = playAndWait(*id, 1s);
  EXPECT_TRUE(r.completed);
  EXPECT_EQ(r.calls, 1);
  EXPECT_TRUE(r.onThisThread);
  SystemSound::Default().dispose(*id);
}

TEST(SystemSoundPlay, CompletesAfterPlayingOnADevice) {
  TempDir dir;
  // A device that takes the samples and throws them away.
  writeFile(dir.file("asound.conf"), "pcm.!default { type null }\n");
  AlsaConfig conf(dir.file("asound.conf"));
  auto id = SystemSound::Default().create(bundledSound());
  ASSERT_TRUE(id);
  PlayResult r = playAndWait(*id, 1s);
  EXPECT_TRUE(r.completed);
  EXPECT_EQ(r.calls, 1);
  EXPECT_TRUE(r.onThisThread);
  SystemSound::Default().dispose(*id);
}

TEST(SystemSoundPlay, HangingDeviceCompletesByTheTimeout) {
  TempDir dir;
  // The device writes into a FIFO nobody reads: opening it blocks the player.
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  writeFile(dir.file("asound.conf"),
            "pcm.!default { type file slave { pcm { type null } } file \"" + fifo +
                "\" format \"raw\" }\n");
  auto id = SystemSound::Default().create(bundledSound());
  ASSERT_TRUE(id);
  PlayResult r;
  {
    AlsaConfig conf(dir.file("asound.conf"));
    r = playAndWait(*id, 400ms);
  }
  EXPECT_TRUE(r.completed);
  EXPECT_EQ(r.calls, 1);
  EXPECT_TRUE(r.onThisThread);
  // The timeout completed it, not the stuck device.
  EXPECT_GE(r.elapsed, 400ms);
  // Release the stuck player: read the FIFO until it closes its end (bounded).
  const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  bool writerSeen = false;
  for (int i = 0; i < 300; ++i) {
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) writerSeen = true;
    if (n == 0 && writerSeen) break;
    std::this_thread::sleep_for(10ms);
  }
  close(fd);
  SystemSound::Default().dispose(*id);
}

TEST(SystemSoundPlay, DisposedOrUnknownIdsAreHarmless) {
  auto id = SystemSound::Default().create(bundledSound());
  ASSERT_TRUE(id);
  SystemSound::Default().dispose(*id);
  SystemSound::Default().dispose(*id);
  bool completed = false;
  SystemSound::Default().addCompletion(*id, [&] { completed = true; });
  SystemSound::Default().play(*id);  // logs, completes nothing
  SystemSound::Default().play(0xFFFFFFF0u);
  // Whatever the plays handed to this loop runs before the marker stops it.
  RunLoop::current().perform([] { RunLoop::current().stop(); });
  EXPECT_TRUE(RunLoop::current().runFor(10s));
  EXPECT_FALSE(completed);
}
