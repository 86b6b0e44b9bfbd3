// digest_bench: throughput of the streamed file digests.
//
// Hashes FILE REPS times with SHA1Help::file_sha1 (4096-byte reads through the
// platform FileSystem, as the property store does) and, with --md5, with
// MD5::fileMD5 too. Prints one line per run and a summary line
//   summary: algo=sha1 bytes=B runs=N best_s=S median_s=M mib_per_s=T
// (throughput of the best run). The file should be in the page cache first
// (scripts/bench-digest.sh reads it once) so that the digest, not the disk, is timed.
//
// Usage: digest_bench FILE [--reps N] [--md5]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "MD5/MD5.h"
#include "Platform/Files/FileSystem.h"
#include "SHA1Help/SHA1Help.h"

using Clock = std::chrono::steady_clock;

namespace {

int runOne(const char* algo, const std::string& path, int reps,
           const std::function<std::optional<std::string>(const std::string&)>& digest) {
  auto attrs = quillbox::platform::FileSystem::Default().attributes(path);
  if (!attrs) {
    std::fprintf(stderr, "digest_bench: cannot read %s\n", path.c_str());
    return 1;
  }
  std::vector<double> secs;
  std::string hex;
  for (int i = 0; i < reps; ++i) {
    auto t0 = Clock::now();
    auto d = digest(path);
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    if (!d) {
      std::fprintf(stderr, "digest_bench: digest failed\n");
      return 1;
    }
    hex = *d;
    secs.push_back(s);
    std::printf("run %d: %s %.4f s\n", i + 1, hex.c_str(), s);
  }
  std::sort(secs.begin(), secs.end());
  double best = secs.front();
  double median = secs[secs.size() / 2];
  std::printf("summary: algo=%s bytes=%lld runs=%d best_s=%.4f median_s=%.4f mib_per_s=%.1f\n",
              algo, static_cast<long long>(attrs->size), reps, best, median,
              static_cast<double>(attrs->size) / (1 << 20) / best);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: digest_bench FILE [--reps N] [--md5]\n");
    return 2;
  }
  std::string path = argv[1];
  int reps = 5;
  bool md5 = false;
  for (int i = 2; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--reps") && i + 1 < argc)
      reps = std::max(1, std::atoi(argv[++i]));
    else if (!std::strcmp(argv[i], "--md5"))
      md5 = true;
  }
  int rc = runOne("sha1", path, reps,
                  [](const std::string& p) { return quillbox::SHA1Help::file_sha1(p); });
  if (rc == 0 && md5) {
    rc = runOne("md5", path, reps, [](const std::string& p) { return quillbox::MD5::fileMD5(p); });
  }
  return rc;
}
