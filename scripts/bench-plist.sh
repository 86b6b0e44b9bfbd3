#!/usr/bin/env bash
# Property-list benchmarks.
#
#  1. plist_bench: the 10,000-record store read by our XML reader and by libplist,
#     alternating, median of REPS each; the ratio libplist / ours decides whether
#     the direct XML reader stays (>= 3). A 100,000-key dictionary (XML and binary)
#     and a 100,000-item binary array (target: each under 500 ms), and 100,000
#     levels of nesting (refused, target under 500 ms).
#     The linearity check times as many reads in a row as fill 100 ms of CPU
#     time, so that the small documents read measurably (growth target < 2).
# (The property store's upsert, check and lookup: scripts/bench-digest.sh.)
#
# Usage: scripts/bench-plist.sh [BUILD_DIR] [REPS]
set -euo pipefail

BUILD=${1:-build}
REPS=${2:-9}
for b in plist_bench; do
  [ -x "$BUILD/bin/$b" ] || { echo "bench-plist: $BUILD/bin/$b is missing (make build)"; exit 1; }
done

echo "== property-list readers"
"$BUILD/bin/plist_bench" --reps "$REPS"

