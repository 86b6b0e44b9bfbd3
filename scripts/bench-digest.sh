#!/usr/bin/env bash
# Digest and property-store benchmarks.
#
#  1. File SHA-1 of a 1 GiB file (random bytes, in the page cache): our streamed
#     digest (digest_bench, 4096-byte reads) against `openssl dgst -sha1` on the
#     same file in the same run; best of REPS each; ratio = ours / openssl in
#     throughput (target: >= 0.95).
#  2. Peak memory (maximum resident set, /usr/bin/time -v) of `quillbox digest sha1`
#     on a 4 KiB and on the 1 GiB file (target: under 16 MiB whatever the size).
#  3. store_bench: upsert, tamper check and lookup with 10,000 records of the user,
#     medians of 31 runs (targets: upsert under 10 ms, check and lookup under 1 ms;
#     the CPU time and the load average beside them: a shared machine inflates
#     the wall time, the disk's flush most of all).
#
# Usage: scripts/bench-digest.sh [BUILD_DIR] [REPS]
set -euo pipefail

BUILD=${1:-build}
REPS=${2:-5}
for b in digest_bench store_bench quillbox; do
  [ -x "$BUILD/bin/$b" ] || { echo "bench-digest: $BUILD/bin/$b is missing (make build)"; exit 1; }
done
command -v openssl >/dev/null || { echo "bench-digest: openssl is missing"; exit 1; }
[ -x /usr/bin/time ] || { echo "bench-digest: /usr/bin/time is missing (apt-get install time)"; exit 1; }

WORK=$(mktemp -d /tmp/bench-digest.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
BIG="$WORK/1g.bin"
head -c 1G /dev/urandom >"$BIG"
head -c 4096 /dev/urandom >"$WORK/4k.bin"
cat "$BIG" >/dev/null  # into the page cache

echo "== file SHA-1, 1 GiB"
"$BUILD/bin/digest_bench" "$BIG" --reps "$REPS" >"$WORK/digest.out"
cat "$WORK/digest.out"
ours=$(sed -n 's/^summary:.*best_s=\([0-9.]*\).*/\1/p' "$WORK/digest.out")
best_openssl=
for _ in $(seq "$REPS"); do
  t0=$(date +%s%N)
  openssl dgst -sha1 "$BIG" >/dev/null
  t=$(( $(date +%s%N) - t0 ))
  if [ -z "$best_openssl" ] || [ "$t" -lt "$best_openssl" ]; then best_openssl=$t; fi
done
openssl_s=$(awk -v ns="$best_openssl" 'BEGIN{printf "%.4f", ns/1e9}')
ratio=$(awk -v a="$ours" -v b="$openssl_s" 'BEGIN{printf "%.3f", b/a}')
echo "sha1: ours best ${ours}s, openssl dgst best ${openssl_s}s, throughput ratio ours/openssl = ${ratio} (target >= 0.95) $(awk -v r="$ratio" 'BEGIN{print (r >= 0.95 ? "ok" : "MISSED")}')"
ref=$(openssl dgst -sha1 "$BIG" | awk '{print $NF}')
got=$("$BUILD/bin/quillbox" digest sha1 "$BIG")
[ "$ref" = "$got" ] || { echo "bench-digest: digests differ ($got vs $ref)"; exit 1; }

echo "== peak memory of quillbox digest"
for f in "$WORK/4k.bin" "$BIG"; do
  kb=$(/usr/bin/time -v "$BUILD/bin/quillbox" digest sha1 "$f" 2>&1 >/dev/null |
       sed -n 's/.*Maximum resident set size (kbytes): //p')
  echo "quillbox digest sha1 $(basename "$f"): max RSS ${kb} KiB ($(awk -v k="$kb" 'BEGIN{printf "%.1f MiB, target < 16 MiB) %s", k/1024, (k < 16384 ? "ok" : "MISSED")}')"
done

echo "== property store, 10,000 records"
"$BUILD/bin/store_bench" --records 10000 --reps 31 | grep '^summary:'
echo "load average $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
