// store_bench: the property store with many records of one user.
//
// Builds a sandbox container in a temporary folder whose store holds RECORDS
// records of the current user (default 10000) and times, REPS times each:
//   upsert  - writeDicTOFile of a new record (read, change, atomic write with fsync)
//   check   - toCheckFilePropertyWithLocal of a small recorded file whose record
//             is the last of the array (the walk passes every record)
//   lookup  - getFilePropertyWithPath of that file
// Prints a summary line per operation, with its goal:
//   summary: op=upsert records=N runs=R median_ms=M max_ms=X cpu_ms=C target_ms=T ok|MISSED
// (cpu_ms: the median of the thread's own CPU time, which a busy machine does
// not inflate; the rest of median_ms is waiting: for the disk, for a core.)
// Goals: upsert under 10 ms, check and lookup under 1 ms.
//
// Usage: store_bench [--records N] [--reps R]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "AppURL.h"
#include "BenchSupport.h"
#include "FileProperty/FileProperty.h"
#include "Platform/Files/FileSystem.h"
#include "Platform/Files/PropertyList.h"
#include "SHA1Help/SHA1Help.h"

using namespace quillbox;
using namespace quillbox::platform;
using Clock = std::chrono::steady_clock;

namespace {

PlistDict record(const std::string& path, int64_t time, int64_t size, const std::string& hash) {
  PlistDict d;
  d.set("type", PlistValue::integer(8));
  d.set("time", PlistValue::integer(time));
  d.set("sha1", PlistValue(FileProperty::keyedDigest(hash, time, size)));
  d.set("md5", PlistValue(""));
  d.set("size", PlistValue::integer(size));
  d.set("path", PlistValue(path));
  d.set("state", PlistValue::integer(0));
  d.set("hash", PlistValue(hash));
  return d;
}

struct Times {
  std::vector<double> ms, cpuMs;
};

void report(const char* op, size_t records, Times t, double targetMs) {
  std::sort(t.ms.begin(), t.ms.end());
  const double median = bench::median(t.ms);
  std::printf(
      "summary: op=%s records=%zu runs=%zu median_ms=%.2f max_ms=%.2f cpu_ms=%.2f target_ms=%g "
      "%s\n",
      op, records, t.ms.size(), median, t.ms.back(), bench::median(t.cpuMs), targetMs,
      median < targetMs ? "ok" : "MISSED");
}

template <typename F>
Times timeIt(int reps, F&& f) {
  Times t;
  for (int i = 0; i < reps; ++i) {
    auto t0 = Clock::now();
    const double c0 = bench::threadCpuMs();
    f(i);
    t.cpuMs.push_back(bench::threadCpuMs() - c0);
    t.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  size_t n = 10000;
  int reps = 20;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--records") && i + 1 < argc)
      n = std::strtoul(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--reps") && i + 1 < argc)
      reps = std::max(1, std::atoi(argv[++i]));
  }
  namespace fs = std::filesystem;
  char tmpl[] = "/tmp/store-bench.XXXXXX";
  const std::string root = mkdtemp(tmpl);
  const std::string container = root + "/Applications/BENCH";
  fs::create_directories(container + "/quillbox.app");
  fs::create_directories(container + "/Library");
  fs::create_directories(container + "/Documents/ScreenShot/alice");
  AppURL::sharedAppURL().setAppURL(container);
  PlistDict info;
  info.set("userName", PlistValue("alice"));
  PropertyList::write(getAppLibFilePath("com.velmor.userinfo.plist"), PlistValue(info));

  const std::string probe = container + "/Documents/ScreenShot/alice/probe.png";
  FileSystem::Default().writeAtomically(probe, "probe picture bytes");
  const std::string probeHash = *SHA1Help::file_sha1(probe);

  PlistArray records;
  for (size_t i = 0; i + 1 < n; ++i) {
    std::string p = container + "/Documents/ScreenShot/alice/ScreenShot_2024-01-01_" +
                    std::to_string(i) + ".png";
    records.emplace_back(
        record(p, 1700000000000 + static_cast<int64_t>(i), 100000 + i, SHA1Help::sha1(p)));
  }
  records.emplace_back(record(probe, 1700000000000, 19, probeHash));
  PlistDict top;
  top.set("root", PlistValue(PlistArray{}));
  top.set("alice", PlistValue(records));
  const std::string store = getAppLibFilePath(FileProperty::kStoreFile);
  PropertyList::write(store, PlistValue(top));
  std::printf("store: %s bytes=%lld\n", store.c_str(),
              static_cast<long long>(FileSystem::Default().attributes(store)->size));

  FileProperty& fp = FileProperty::sharedFileProperty();
  auto check = timeIt(reps, [&](int) {
    if (!fp.toCheckFilePropertyWithLocal(probe)) std::fprintf(stderr, "check failed\n");
  });
  auto lookup = timeIt(reps, [&](int) {
    if (!fp.getFilePropertyWithPath(probe)) std::fprintf(stderr, "lookup failed\n");
  });
  // Each upsert adds a record, then replaces it: the store stays at about n records.
  auto upsert = timeIt(reps, [&](int i) {
    std::string p = container + "/Documents/ScreenShot/alice/new" + std::to_string(i % 2) + ".png";
    if (!fp.writeDicTOFile(FileProperty::kStoreFile, record(p, 1, 1, "h"), "alice"))
      std::fprintf(stderr, "upsert failed\n");
  });
  report("upsert", n, upsert, 10);
  report("check", n, check, 1);
  report("lookup", n, lookup, 1);
  if (!std::getenv("STORE_BENCH_KEEP"))
    fs::remove_all(root);
  else
    std::printf("kept %s\n", root.c_str());
  return 0;
}
