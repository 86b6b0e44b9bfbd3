#!/usr/bin/env bash
# Property-list benchmarks.
#
#  1. plist_bench: the 10,000-record store read by our XML reader and by libplist,
#     alternating, median of REPS each; the ratio libplist / ours decides whether
#     the direct XML reader stays (>= 3). A 100,000-key dictionary (XML and binary)
#     and a 100,000-item binary array (target: each under 500 ms), and 100,000
#     levels of nesting (refused, target under 500 ms).
#  2. store_bench: upsert (read, change, write with fsync) at 10,000 records
#     (target: median under 15 ms; the CPU time and the load average are shown
#     beside it, as a shared machine inflates the wall time).
#
# Usage: scripts/bench-plist.sh [BUILD_DIR] [REPS]
set -euo pipefail

BUILD=${1:-build}
REPS=${2:-9}
for b in plist_bench store_bench; do
  [ -x "$BUILD/bin/$b" ] || { echo "bench-plist: $BUILD/bin/$b is missing (make build)"; exit 1; }
done

echo "== property-list readers"
"$BUILD/bin/plist_bench" --reps "$REPS"

echo "== property store upsert, 10,000 records"
out=$("$BUILD/bin/store_bench" --records 10000 --reps 20)
echo "$out" | grep "op=upsert"
median=$(echo "$out" | sed -n 's/.*op=upsert.*median_ms=\([0-9.]*\).*/\1/p')
cpu=$(echo "$out" | sed -n 's/.*op=upsert.* cpu_ms=\([0-9.]*\).*/\1/p')
load=$(cut -d' ' -f1 /proc/loadavg)
awk -v m="$median" -v c="$cpu" -v l="$load" -v n="$(nproc)" 'BEGIN{printf "upsert: median %.2f ms (target < 15 ms: %s); CPU %.2f ms; load average %s on %s cores\n", m, (m < 15 ? "ok" : "MISSED"), c, l, n}'
