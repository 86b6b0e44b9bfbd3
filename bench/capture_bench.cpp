// capture_bench: times the capture road from screen to stored file.
//
// Each capture grabs the screen (Screen), encodes it as PNG (ImageCodec) and
// stores it with FileSystem::writeAtomically, as a screenshot is stored; no
// countdown, no sound. Prints one line per capture and a closing summary line
//   summary: captures=N median_ms=M grab_ms=G encode_ms=E write_ms=W bytes=B shm=0|1 source=S
// (S: how the screen was read). A refused capture prints its reason and exits 1.
// With --launched-ns T (the wall clock in nanoseconds just before the process
// was started, `date +%s%N`) it also prints where a whole process's time goes:
//   startup: to_main_ms=M first_capture_ms=C (grab G, encode E, write W) main_to_capture_ms=S
//            end_of_main_ms=X
// (to main: starting the process and loading its libraries; the first grab
// includes connecting to the display and setting up shared memory).
// With --sweep it grabs once and prints time and size of the PNG encoding for a
// set of zlib levels, strategies, filters and thread counts (how the default
// was chosen).
//
// Usage: capture_bench [--screen SETTING] [--count N] [--out PATH_OR_DIR]
//                      [--level L] [--strategy S] [--filters F] [--threads T] [--sweep]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Media/ImageCodec.h"
#include "Platform/Media/Screen.h"
#include "Platform/Media/X11Screen.h"
#include "Platform/Process/Environment.h"

using namespace quillbox;
using namespace quillbox::platform;
using bench::Clock;
using bench::median;
using bench::msSince;

namespace {

int usage() {
  fprintf(
      stderr,
      "usage: capture_bench [--screen SETTING] [--count N] [--out PATH_OR_DIR]\n"
      "                     [--level L] [--strategy S] [--filters F] [--threads T] [--sweep]\n");
  return 2;
}

int refused(const ScreenCapture& shot) {
  fprintf(stderr, "capture_bench: %s\n", shot.reason.c_str());
  return 1;
}

int sweep(Screen& screen) {
  auto img = screen.capture();
  if (!img) return refused(img);
  struct Named {
    const char* name;
    ImageCodec::PNGOptions o;
  };
  const int auto_ = ImageCodec::kAutoStrategy;
  const std::vector<Named> sets = {
      {"our default (2, auto, SUB|UP)", ImageCodec::defaultPNGOptions()},
      {"one thread (2, auto, SUB|UP)", {2, auto_, 0x30, 1}},
      {"level 1, auto, SUB|UP", {1, auto_, 0x30, 0}},
      {"level 6, all filters, default", {6, 0, 0xF8, 0}},
      {"level 1, auto, SUB", {1, auto_, 0x10, 0}},
      {"level 1, auto, UP", {1, auto_, 0x20, 0}},
      {"level 1, auto, SUB|UP|PAETH", {1, auto_, 0xB0, 0}},
      {"level 1, auto, all filters", {1, auto_, 0xF8, 0}},
      {"level 3, auto, SUB|UP", {3, auto_, 0x30, 0}},
      {"level 1, default, SUB|UP", {1, 0, 0x30, 0}},
      {"Z_RLE, SUB|UP", {1, 3, 0x30, 0}},
      {"Huffman only, SUB|UP", {1, 2, 0x30, 0}},
  };
  printf("%-34s %10s %12s\n", "encoding", "ms", "bytes");
  for (const auto& s : sets) {
    std::vector<double> times;
    size_t size = 0;
    for (int i = 0; i < 3; ++i) {
      auto t = Clock::now();
      auto png = ImageCodec::encodePNG(*img, s.o);
      times.push_back(msSince(t));
      size = png ? png->size() : 0;
    }
    printf("%-34s %10.1f %12zu\n", s.name, median(times), size);
  }
  return 0;
}

}  // namespace

double wallMsSince(long long launchedNs) {
  const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  return static_cast<double>(now - launchedNs) / 1e6;
}

int main(int argc, char** argv) {
  long long launchedNs = 0;
  for (int i = 1; i + 1 < argc; ++i)
    if (!std::strcmp(argv[i], "--launched-ns")) launchedNs = atoll(argv[i + 1]);
  const double toMain = launchedNs ? wallMsSince(launchedNs) : 0;
  std::string setting = Environment::screen();
  std::string out = "/tmp/capture_bench";
  int count = 10;
  bool doSweep = false;
  ImageCodec::PNGOptions options = ImageCodec::defaultPNGOptions();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (a == "--sweep") {
      doSweep = true;
    } else if (a == "--launched-ns" && next()) {
    } else if ((a == "--screen" || a == "--count" || a == "--out" || a == "--level" ||
                a == "--strategy" || a == "--filters" || a == "--threads") &&
               (v = next())) {
      if (a == "--screen") setting = v;
      if (a == "--count") count = std::max(1, atoi(v));
      if (a == "--out") out = v;
      if (a == "--level") options.level = atoi(v);
      if (a == "--strategy") options.strategy = atoi(v);
      if (a == "--filters") options.filters = static_cast<int>(strtol(v, nullptr, 0));
      if (a == "--threads") options.threads = atoi(v);
    } else {
      return usage();
    }
  }
  auto screen = Screen::create(setting);
  if (!screen) return 2;
  if (doSweep) return sweep(*screen);

  FileSystem& fs = FileSystem::Default();
  // A path ending in ".png" is the file to write; anything else is a folder for numbered files.
  const bool single = out.size() > 4 && out.compare(out.size() - 4, 4, ".png") == 0;
  if (!single && !fs.createDirectories(out)) {
    fprintf(stderr, "capture_bench: cannot create %s\n", out.c_str());
    return 1;
  }
  std::vector<double> total, grab, encode, write;
  double firstCaptureEnd = 0;
  size_t bytes = 0;
  std::string method;
  for (int i = 0; i < count; ++i) {
    const std::string path = single ? out : out + "/capture_" + std::to_string(i) + ".png";
    const auto t0 = Clock::now();
    auto img = screen->capture();
    if (!img) return refused(img);
    method = img.source.method;
    const auto t1 = Clock::now();
    auto png = ImageCodec::encodePNG(*img, options);
    if (!png) return 1;
    const auto t2 = Clock::now();
    if (!fs.writeAtomically(path, *png)) {
      fprintf(stderr, "capture_bench: cannot write %s\n", path.c_str());
      return 1;
    }
    const double all = msSince(t0), g = std::chrono::duration<double, std::milli>(t1 - t0).count(),
                 e = std::chrono::duration<double, std::milli>(t2 - t1).count();
    total.push_back(all);
    grab.push_back(g);
    encode.push_back(e);
    write.push_back(all - g - e);
    bytes = png->size();
    if (i == 0 && launchedNs) firstCaptureEnd = wallMsSince(launchedNs);
    printf("capture %d: %.1f ms (grab %.1f, encode %.1f, write %.1f) %zu bytes %dx%d\n", i, all, g,
           e, all - g - e, bytes, img->width, img->height);
  }
  const auto* x11 = dynamic_cast<const X11Screen*>(screen.get());
  printf(
      "summary: captures=%d median_ms=%.1f grab_ms=%.1f encode_ms=%.1f write_ms=%.1f bytes=%zu "
      "shm=%d source=%s\n",
      count, median(total), median(grab), median(encode), median(write), bytes,
      x11 && x11->usedSharedMemory() ? 1 : 0, method.c_str());
  if (launchedNs) {
    const double end = wallMsSince(launchedNs);
    printf(
        "startup: to_main_ms=%.1f first_capture_ms=%.1f (grab %.1f, encode %.1f, write %.1f) "
        "main_to_capture_ms=%.1f end_of_main_ms=%.1f\n",
        toMain, total[0], grab[0], encode[0], write[0], firstCaptureEnd - total[0] - toMain, end);
  }
  return 0;
}
