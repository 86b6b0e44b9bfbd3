#!/usr/bin/env bash
# Runs every benchmark against its peer and prints the ratios.
#   capture: capture-to-stored-file vs `scrot -o` (Xvfb 1920x1080, text and photo-like screens)
#   wayland: capture-to-stored-file vs `grim` (sway headless 1920x1080), the portal road's time
#   digest:  file SHA-1 vs `openssl dgst -sha1`, peak memory of `quillbox digest`, store operations
#   upload:  1 GiB upload to the reference service vs `curl -T`, peak memory of `quillbox upload`
#   legacy:  1 GiB upload with the older uploader (1 MiB requests) vs `curl -T`, its peak memory
#   plist:   our property-list readers vs libplist, large shapes, store upsert
#   soak:    resident-memory growth of one vigild over 150 captures, each uploaded
set -uo pipefail
cd "$(dirname "$0")/.."
BUILD="${1:-build}"
status=0
for b in capture wayland digest upload legacy plist soak; do
  script="scripts/bench-$b.sh"
  [ -x "$script" ] || continue
  echo "== $b"
  "$script" "$BUILD" || status=1
  echo
done
exit $status
