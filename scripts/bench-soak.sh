#!/bin/sh
# Soak memory benchmark: one vigild under many triggers, each capture
# confirmed and uploaded (tests/integration/soak.py, which also checks that
# every capture reaches the service whole). Its resident size is sampled
# whenever it is idle; the figure is the growth after the warm-up (the first
# fifth): the median slope between samples times the warm span.
#
#   scripts/bench-soak.sh [BUILD_DIR] [TRIGGERS]     (defaults: build, 150)
#
# Goal: growth within 1 MiB plus 6 KiB per trigger (the store and the
# upload-state plist each grow by a record, and both are kept parsed). A miss
# prints MISSED and does not fail; a capture that is lost does.
set -eu
BUILD=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
case "$BUILD" in /*) ;; *) BUILD="$ROOT/$BUILD" ;; esac
export QUILLBOX_BIN_DIR="$BUILD/bin" QUILLBOX_SOURCE_DIR="$ROOT" SOAK_TRIGGERS="${2:-150}"
exec python3 - <<'PY'
import os, sys, unittest
sys.path.insert(0, os.path.join(os.environ["QUILLBOX_SOURCE_DIR"], "tests", "integration"))
from soak import memory_trend, run_soak

KIB_PER_TRIGGER = 6
triggers = int(os.environ["SOAK_TRIGGERS"])
check = unittest.TestCase()
try:
    result = run_soak(triggers, check)
except AssertionError as e:
    sys.exit("soak: FAILED: %s" % e)
warm, growth = memory_trend(result)
goal = 1024 + KIB_PER_TRIGGER * triggers
span = max(1, warm[-1][0] - warm[0][0])
load = os.getloadavg()[0]
print("soak memory: %d triggers in %.0f s, %d uploaded (%d retried); after warm-up RSS %.1f MiB"
      " -> %.1f MiB, trend %d KiB (%.0f KiB per 100 triggers; goal <= %d KiB, 1 MiB + %d KiB per"
      " trigger: %s); load average %.2f on %d cores"
      % (triggers, result["elapsed"], result["uploaded"], len(result["retried"]),
         warm[0][1] / 1024.0, warm[-1][1] / 1024.0, growth, growth * 100.0 / span, goal,
         KIB_PER_TRIGGER, "ok" if growth <= goal else "MISSED", load, os.cpu_count()))
print("samples (trigger, RSS KiB, open fds): %s" % result["samples"])
PY
