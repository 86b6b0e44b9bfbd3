// plist_bench: the property-list readers on the shapes that decide their design.
//
//   store    - the 10,000-record property store (XML, as the store writes it)
//              read by our XML reader and by libplist, median of REPS each; the
//              ratio decides whether the direct XML reader stays (>= 3x).
//   dict     - one dictionary of 100,000 keys, XML and binary (target < 500 ms)
//   array    - one binary array of 100,000 integers (target < 500 ms)
//   deep     - 100,000 nested arrays, binary and XML: refused, in linear time
//   linear   - deep (chains of 500 levels side by side) and wide (one dictionary)
//              documents of about 10,000 and 100,000 values, XML and binary:
//              the reader's CPU time per byte must not grow with the size
//              (growth = ratio of the per-byte times, target under 2)
// Prints one line per measurement:
//   summary: op=NAME reader=ours|libplist median_ms=M [target_ms=T ok|MISSED]
// and the decision line:
//   decision: direct XML reader ... ratio=R (libplist / ours)
//   linear: shape=NAME bytes=B cpu_ms=M (K reads a sample) bytes=B' cpu_ms=M' (K' a sample)
//           growth=G (target < 2) ok|MISSED
//
// Usage: plist_bench [--reps R] [--records N]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "Platform/Files/PropertyList.h"
#include "PropertyList/PlistValue.h"
#include "PropertyList/Reference/PlistLibplist.h"

using namespace quillbox;
using namespace quillbox::platform;

namespace {

PlistValue storeDocument(size_t records) {
  PlistArray a;
  a.reserve(records);
  for (size_t i = 0; i < records; ++i) {
    PlistDict d;
    d.set("type", PlistValue::integer(8));
    d.set("time", PlistValue::integer(1700000000000 + static_cast<int64_t>(i)));
    d.set("sha1", PlistValue("0123456789abcdef0123456789abcdef01234567"));
    d.set("md5", PlistValue(""));
    d.set("size", PlistValue::integer(100000 + static_cast<int64_t>(i)));
    d.set("path", PlistValue("/User/Applications/0F3C/Documents/ScreenShot/alice/ScreenShot_"
                             "2024-01-01_" +
                             std::to_string(i) + ".png"));
    d.set("state", PlistValue::integer(static_cast<int64_t>(i % 3)));
    d.set("hash", PlistValue("fedcba9876543210fedcba9876543210fedcba98"));
    a.emplace_back(std::move(d));
  }
  PlistDict top;
  top.set("root", PlistValue(PlistArray{}));
  top.set("alice", PlistValue(std::move(a)));
  return PlistValue(std::move(top));
}

// Median milliseconds of `reps` runs of `read`; exits when a read fails.
double timeRead(const char* op, int reps, const std::function<bool()>& read) {
  std::vector<double> ms;
  for (int i = 0; i < reps; ++i) {
    auto t0 = bench::Clock::now();
    const bool ok = read();
    ms.push_back(bench::msSince(t0));
    if (!ok) {
      std::fprintf(stderr, "plist_bench: %s gave an unexpected result\n", op);
      std::exit(1);
    }
  }
  return bench::median(ms);
}

void report(const char* op, const char* reader, double ms, double targetMs = 0) {
  std::printf("summary: op=%s reader=%s median_ms=%.2f", op, reader, ms);
  if (targetMs > 0) std::printf(" target_ms=%.0f %s", targetMs, ms < targetMs ? "ok" : "MISSED");
  std::printf("\n");
}

// `chains` arrays side by side, each `levels` deep with a distinct integer at its end.
PlistValue deepChains(int chains, int levels) {
  PlistArray top;
  for (int c = 0; c < chains; ++c) {
    PlistValue v = PlistValue::integer(c);
    for (int l = 0; l < levels; ++l) {
      PlistArray a;
      a.push_back(std::move(v));
      v = PlistValue(std::move(a));
    }
    top.push_back(std::move(v));
  }
  return PlistValue(std::move(top));
}

PlistValue wideDict(int keys) {
  PlistDict d;
  for (int i = 0; i < keys; ++i) d.set("key" + std::to_string(i), PlistValue::integer(i));
  return PlistValue(std::move(d));
}

// Reads a document of one shape and one ten times larger. Linear time keeps
// the time per byte the same (growth 1; quadratic time would give 10). The
// reader's own CPU time is measured: on a busy machine a long read is
// interrupted more often than a short one, and wall time would say so. The
// thread's CPU clock (getrusage) advances in scheduler ticks of a few
// milliseconds, and the small document reads in well under one, so each
// sample times as many reads in a row as fill kSampleCpuMs (a tick is then a
// few per cent of it), and a read's time is the sample's share.
constexpr double kSampleCpuMs = 100;
void linear(const char* shape, int reps, const std::function<PlistValue(int)>& make, bool binary) {
  double ms[2];
  size_t bytes[2];
  int batch[2];
  for (int k = 0; k < 2; ++k) {
    const PlistValue v = make(k ? 10 : 1);
    const std::string text = binary ? PropertyList::toBinary(v) : PropertyList::toXml(v);
    if (PropertyList::parse(text) != v) {
      std::fprintf(stderr, "plist_bench: %s does not read back\n", shape);
      std::exit(1);
    }
    // How many reads fill a sample, from the wall time of a few.
    const auto t0 = bench::Clock::now();
    for (int i = 0; i < 3; ++i)
      if (!PropertyList::parse(text)) std::exit(1);
    const double oneMs = std::max(bench::msSince(t0) / 3, 1e-3);
    batch[k] = std::max(1, static_cast<int>(std::ceil(kSampleCpuMs / oneMs)));
    std::vector<double> runs;
    for (int i = 0; i < reps; ++i) {
      const double c0 = bench::threadCpuMs();
      for (int j = 0; j < batch[k]; ++j)
        if (!PropertyList::parse(text)) std::exit(1);
      runs.push_back((bench::threadCpuMs() - c0) / batch[k]);
    }
    ms[k] = bench::median(runs);
    bytes[k] = text.size();
  }
  const double growth =
      (ms[1] / static_cast<double>(bytes[1])) / (ms[0] / static_cast<double>(bytes[0]));
  std::printf(
      "linear: shape=%s bytes=%zu cpu_ms=%.3f (%d reads a sample) bytes=%zu cpu_ms=%.3f "
      "(%d a sample) growth=%.2f (target < 2) %s\n",
      shape, bytes[0], ms[0], batch[0], bytes[1], ms[1], batch[1], growth,
      growth < 2 ? "ok" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
  int reps = 9;
  size_t records = 10000;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--reps") && i + 1 < argc)
      reps = std::max(1, std::atoi(argv[++i]));
    else if (!std::strcmp(argv[i], "--records") && i + 1 < argc)
      records = std::strtoul(argv[++i], nullptr, 10);
  }

  const PlistValue store = storeDocument(records);
  const std::string storeXml = PropertyList::toXml(store);
  std::printf("store: %zu records, %zu bytes of XML\n", records, storeXml.size());
  // Both readers must give the stored value; only the reading is timed.
  if (PropertyList::parseXmlDirect(storeXml) != store || PlistLibplist::parse(storeXml) != store) {
    std::fprintf(stderr, "plist_bench: a reader does not give the store's value\n");
    return 1;
  }
  // Runs alternate between the readers, so a busy machine slows both alike.
  std::vector<double> oursMs, libplistMs;
  for (int i = 0; i < reps; ++i) {
    oursMs.push_back(timeRead("store/ours", 1,
                              [&] { return PropertyList::parseXmlDirect(storeXml).has_value(); }));
    libplistMs.push_back(
        timeRead("store/libplist", 1, [&] { return PlistLibplist::parse(storeXml).has_value(); }));
  }
  const double ours = bench::median(oursMs), libplist = bench::median(libplistMs);
  report("store-read", "ours", ours);
  report("store-read", "libplist", libplist);
  const double ratio = libplist / ours;
  std::printf("decision: direct XML reader %s: ratio=%.2f (libplist / ours, keep at >= 3)\n",
              ratio >= 3 ? "stays" : "should go", ratio);

  PlistDict big;
  for (int i = 0; i < 100000; ++i) big.set("key" + std::to_string(i), PlistValue::integer(i));
  const PlistValue dict(std::move(big));
  const std::string dictXml = PropertyList::toXml(dict);
  const std::string dictBin = PropertyList::toBinary(dict);
  report("dict100k-xml", "ours",
         timeRead("dict/xml", reps,
                  [&] {
                    auto v = PropertyList::parse(dictXml);
                    return v && v->asDict()->size() == 100000;
                  }),
         500);
  report("dict100k-binary", "ours",
         timeRead("dict/bin", reps,
                  [&] {
                    auto v = PropertyList::parse(dictBin);
                    return v && v->asDict()->size() == 100000;
                  }),
         500);
  report("dict100k-xml", "libplist", timeRead("dict/libplist", 1, [&] {
           auto v = PlistLibplist::parse(dictXml);
           return v && v->asDict()->size() == 100000;
         }));

  PlistArray items;
  for (int i = 0; i < 100000; ++i) items.push_back(PlistValue::integer(i * 7));
  const std::string arrayBin = PropertyList::toBinary(PlistValue(std::move(items)));
  report("array100k-binary", "ours",
         timeRead("array/bin", reps,
                  [&] {
                    auto v = PropertyList::parse(arrayBin);
                    return v && v->asArray()->size() == 100000;
                  }),
         500);
  report("array100k-binary", "libplist", timeRead("array/libplist", 1, [&] {
           auto v = PlistLibplist::parse(arrayBin);
           return v && v->asArray()->size() == 100000;
         }));

  // 100,000 nested one-item arrays: the reader must refuse them, and quickly.
  const int depth = 100000;
  std::string deepXml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">";
  for (int i = 0; i < depth; ++i) deepXml += "<array>";
  for (int i = 0; i < depth; ++i) deepXml += "</array>";
  deepXml += "</plist>\n";
  std::string deepBin = "bplist00";
  for (int i = 0; i < depth; ++i) {
    deepBin += '\xA1';
    for (int s = 24; s >= 0; s -= 8) deepBin += static_cast<char>(((i + 1) >> s) & 0xFF);
  }
  deepBin += '\x08';
  const size_t tableAt = deepBin.size();
  for (int i = 0; i <= depth; ++i) {
    const uint32_t at = 8 + 5 * static_cast<uint32_t>(i);
    for (int s = 24; s >= 0; s -= 8) deepBin += static_cast<char>((at >> s) & 0xFF);
  }
  deepBin.append(6, '\0');
  deepBin += '\x04';
  deepBin += '\x04';
  for (uint64_t field : {uint64_t(depth + 1), uint64_t(0), uint64_t(tableAt)})
    for (int s = 56; s >= 0; s -= 8) deepBin += static_cast<char>((field >> s) & 0xFF);
  report("deep100k-xml-refused", "ours",
         timeRead("deep/xml", reps, [&] { return !PropertyList::parse(deepXml); }), 500);
  report("deep100k-binary-refused", "ours",
         timeRead("deep/bin", reps, [&] { return !PropertyList::parse(deepBin); }), 500);

  auto deep = [](int scale) { return deepChains(20 * scale, 499); };
  auto wide = [](int scale) { return wideDict(5000 * scale); };
  linear("deep-xml", reps, deep, false);
  linear("deep-binary", reps, deep, true);
  linear("wide-xml", reps, wide, false);
  linear("wide-binary", reps, wide, true);
  return 0;
}
