#!/usr/bin/env python3
"""Runs one integration test file for CTest and applies the skip policy.

    python3 run_test.py tests/integration/test_x.py

A test whose prerequisite is missing skips with its reason (unittest's
skipTest, or the whole file with exit code 77). Such a skip must never pass
unnoticed: with CI=true in the environment it fails the run with the reason;
elsewhere the file exits 77, which CTest counts as skipped (and prints the
reasons). Any other outcome of the file is passed through unchanged.
"""

import os
import re
import subprocess
import sys

SKIPPED = re.compile(r"^(.*) \.\.\. skipped '(.*)'$", re.M)


def in_ci():
    return os.environ.get("CI", "").strip().lower() in ("true", "1", "yes")


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: run_test.py TEST_FILE\n")
        return 2
    proc = subprocess.run([sys.executable, sys.argv[1], "-v"], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, errors="replace")
    sys.stdout.write(proc.stdout)
    if proc.returncode not in (0, 77):
        return proc.returncode
    reasons = ["%s: %s" % m for m in SKIPPED.findall(proc.stdout)]
    if proc.returncode == 77:
        last = [line for line in proc.stdout.splitlines() if line.strip()]
        reasons.append("the whole file: " + (last[-1] if last else "exit code 77"))
    if not reasons:
        return 0
    for reason in reasons:
        print("SKIPPED %s" % reason)
    if in_ci():
        print("FAILED: %d skipped under CI=true (a missing prerequisite is a failure in CI)"
              % len(reasons))
        return 1
    return 77


if __name__ == "__main__":
    sys.exit(main())
