// c2pa_bench: the cost of a capture's content credentials and their size.
//
// Times ContentCredentials::addToCapture on a stored PNG, as the capture road
// runs it (the signing identity loaded once before, as vigild does at start;
// no time-stamp authority, so nothing waits for the network): the manifest
// store built, the claim signed and the caBX chunk put in. The PNG is hashed
// once per capture. Checks that each result still carries the original bytes.
//
// Usage: c2pa_bench --png FILE [--reps N]
// Prints a closing line
//   summary: reps=N embed_ms=W manifest_bytes=B png_bytes=P
// (targets: under 5 ms added, under 16 KiB of manifest).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "C2pa/C2paSigner.h"
#include "C2pa/ContentCredentials.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Process/Environment.h"

using namespace quillbox;
using namespace quillbox::platform;

int main(int argc, char** argv) {
  std::string pngPath;
  int reps = 9;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--png") && i + 1 < argc) pngPath = argv[++i];
    if (!std::strcmp(argv[i], "--reps") && i + 1 < argc) reps = std::atoi(argv[++i]);
  }
  auto png = FileSystem::Default().readFile(pngPath);
  if (!png || reps < 1) {
    std::fprintf(stderr, "usage: c2pa_bench --png FILE [--reps N]\n");
    return 2;
  }
  char home[] = "/tmp/c2pa-bench.XXXXXX";
  if (!mkdtemp(home)) return 1;
  Environment::set("QUILLBOX_HOME", home);
  Environment::set("QUILLBOX_TSA_URL", "");
  Environment::set("QUILLBOX_C2PA", "1");
  if (!C2paSigner::shared()) return 1;
  std::vector<double> wall;
  size_t added = 0;
  for (int i = 0; i <= reps; ++i) {
    const auto t0 = bench::Clock::now();
    std::string out = ContentCredentials::addToCapture(*png, "ScreenShot_20150101_090507.png");
    const double w = bench::msSince(t0);
    added = out.size() - png->size();
    if (added == 0 || out.compare(0, 33, *png, 0, 33) != 0) {
      std::fprintf(stderr, "c2pa_bench: no content credentials were added\n");
      return 1;
    }
    if (i == 0) continue;  // warm-up
    wall.push_back(w);
  }
  std::filesystem::remove_all(home);
  std::printf("summary: reps=%d embed_ms=%.2f manifest_bytes=%zu png_bytes=%zu\n", reps,
              bench::median(wall), added, png->size());
  return 0;
}
