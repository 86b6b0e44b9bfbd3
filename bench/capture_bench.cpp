// capture_bench: times the capture road from screen to stored file.
//
// Each capture grabs the screen (Screen), encodes it as PNG (ImageCodec) and
// stores it with FileSystem::writeAtomically, as a screenshot is stored; no
// countdown, no sound. Prints one line per capture and a closing summary line
//   summary: captures=N median_ms=M grab_ms=G encode_ms=E write_ms=W bytes=B shm=0|1 source=S
// (S: how the screen was read). A refused capture prints its reason and exits 1.
// With --sweep it grabs once and prints time and size of the PNG encoding for a
// set of zlib levels, strategies and filters (how the default was chosen).
//
// Usage: capture_bench [--screen SETTING] [--count N] [--out PATH_OR_DIR]
//                      [--level L] [--strategy S] [--filters F] [--sweep]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
  fprintf(stderr,
          "usage: capture_bench [--screen SETTING] [--count N] [--out PATH_OR_DIR]\n"
          "                     [--level L] [--strategy S] [--filters F] [--sweep]\n");
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
  const std::vector<Named> sets = {
      {"our default (level 1, SUB, auto)", ImageCodec::defaultPNGOptions()},
      {"libpng default (6, all filters)", {6, 0, 0xF8}},
      {"level 1, all filters", {1, 0, 0xF8}},
      {"level 1, SUB", {1, 0, 0x10}},
      {"level 1, UP", {1, 0, 0x20}},
      {"level 1, NONE", {1, 0, 0x08}},
      {"level 2, SUB", {2, 0, 0x10}},
      {"level 3, SUB", {3, 0, 0x10}},
      {"Z_RLE, SUB", {1, 3, 0x10}},
      {"Z_RLE, UP", {1, 3, 0x20}},
      {"Z_RLE, PAETH", {1, 3, 0x80}},
      {"Z_FILTERED 1, SUB", {1, 1, 0x10}},
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

int main(int argc, char** argv) {
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
    } else if ((a == "--screen" || a == "--count" || a == "--out" || a == "--level" ||
                a == "--strategy" || a == "--filters") &&
               (v = next())) {
      if (a == "--screen") setting = v;
      if (a == "--count") count = std::max(1, atoi(v));
      if (a == "--out") out = v;
      if (a == "--level") options.level = atoi(v);
      if (a == "--strategy") options.strategy = atoi(v);
      if (a == "--filters") options.filters = static_cast<int>(strtol(v, nullptr, 0));
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
    printf("capture %d: %.1f ms (grab %.1f, encode %.1f, write %.1f) %zu bytes %dx%d\n", i, all, g,
           e, all - g - e, bytes, img->width, img->height);
  }
  const auto* x11 = dynamic_cast<const X11Screen*>(screen.get());
  printf(
      "summary: captures=%d median_ms=%.1f grab_ms=%.1f encode_ms=%.1f write_ms=%.1f bytes=%zu "
      "shm=%d source=%s\n",
      count, median(total), median(grab), median(encode), median(write), bytes,
      x11 && x11->usedSharedMemory() ? 1 : 0, method.c_str());
  return 0;
}
