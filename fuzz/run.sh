#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time on a
# copy of its seed corpus plus fuzz/regressions/<target>/ (inputs that once
# crashed, kept so that they never do again). Fails when any target finds a crash, a leak, a
# sanitizer report, a broken check or a hang.
#
# Usage: fuzz/run.sh [BUILD_DIR]   (default build-fuzz)
# Environment: FUZZ_SECONDS (per target, default 30), FUZZ_TARGETS (names
# without "Fuzzer", default all), JOBS (build parallelism, default 2).
set -uo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build-fuzz}
SECONDS_PER_TARGET=${FUZZ_SECONDS:-30}
TARGETS=${FUZZ_TARGETS:-"PropertyList PlistDifferential ImageCodec Base64 AutoLoginReply CommonRegex SystemSound Keychain XmlParse AudioDuration C2paReader"}
JOBS=${JOBS:-2}

if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ is missing (make deps installs clang and libclang-rt-14-dev)" >&2
  exit 1
fi
CC=clang CXX=clang++ cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLBOX_FUZZ=ON \
  >/dev/null || exit 1
cmake --build "$BUILD" -j "$JOBS" --target fuzzers || exit 1

RUN="$BUILD/fuzz-run"
rm -rf "$RUN"
failed=()
for name in $TARGETS; do
  bin="$BUILD/fuzz/${name}Fuzzer"
  work="$RUN/$name"
  mkdir -p "$work/corpus" "$work/artifacts" "$work/tmp"
  cp fuzz/corpus/"$name"/* "$work/corpus/"
  # The library's own log lines (one per refused input) go to the closed
  # stderr; libFuzzer and the sanitizers keep writing to their own copy.
  # Targets that need files keep them under $work/tmp (left behind by a crash).
  TMPDIR="$work/tmp" "$bin" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 -rss_limit_mb=2048 \
    -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
    "$work/corpus" $([ -d "fuzz/regressions/$name" ] && echo "fuzz/regressions/$name") >"$work/log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log")
  if [ $rc -ne 0 ] || [ -n "$(ls -A "$work/artifacts")" ]; then
    echo "fuzz: ${name}Fuzzer FAILED (exit $rc) after ${runs:-?} runs; log $work/log"
    grep -E "ERROR|SUMMARY|FUZZ_CHECK|deadly signal|Test unit written" "$work/log" | head -20
    for artifact in "$work"/artifacts/*; do
      [ -e "$artifact" ] || continue
      echo "--- reproducing $artifact"
      "$bin" "$artifact" 2>&1 | grep -vE "^INFO:|^Running:|^Executed" | tail -40
    done
    failed+=("$name")
  else
    echo "fuzz: ${name}Fuzzer ok: ${SECONDS_PER_TARGET} s, ${runs} runs (${rate}/s)"
  fi
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: ${#failed[@]} target(s) failed: ${failed[*]}"
  exit 1
fi
echo "fuzz: all targets passed"
