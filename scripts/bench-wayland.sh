#!/usr/bin/env bash
# Wayland capture benchmark: our screen-to-stored-PNG road on sway headless
# (one 1920x1080 output showing a known picture) against `grim` on the same
# compositor, in one run; then the desktop portal road's time (the real
# xdg-desktop-portal with its wlr backend). See bench/wayland_bench.py.
#
# Usage: scripts/bench-wayland.sh [BUILD_DIR] [REPETITIONS]
set -euo pipefail
BUILD=${1:-build}
REPS=${2:-9}
exec python3 "$(dirname "$0")/../bench/wayland_bench.py" "$BUILD" "$REPS"
