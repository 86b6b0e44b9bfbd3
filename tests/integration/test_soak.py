#!/usr/bin/env python3
"""A bounded soak (tests/integration/soak.py): many triggers in one vigild,
each capture stored, recorded, confirmed, uploaded and byte-identical at the
service; the daemon stays up, reports nothing from a sanitizer, and whenever it
is idle holds the descriptors it held after the first captures. Its memory is a
benchmark figure (scripts/bench-soak.sh, `make bench` and `make soak`).

QUILLBOX_SOAK_TRIGGERS sets the count (default 150).
"""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from soak import run_soak  # noqa: E402

TRIGGERS = int(os.environ.get("QUILLBOX_SOAK_TRIGGERS", "150"))
SANITIZER_REPORT = re.compile(r"ERROR: (Address|Leak)Sanitizer|WARNING: ThreadSanitizer|"
                              r"runtime error:")


class SoakCase(unittest.TestCase):
    def test_many_triggers_each_uploaded_whole_descriptors_flat(self):
        result = run_soak(TRIGGERS, self)
        first, last = result["fd_targets"]
        print("soak: %d triggers in %.0f s, %d captures uploaded (%d retried by hand after a "
              "failure: %s), open fds %d -> %d"
              % (TRIGGERS, result["elapsed"], result["uploaded"], len(result["retried"]),
                 result["retried"], len(first), len(last)))
        self.assertEqual(result["uploaded"], TRIGGERS)
        # Descriptors are compared while the daemon is idle, so any change is a leak.
        self.assertEqual(last, first, result["samples"])
        reports = SANITIZER_REPORT.findall(result["log"])
        self.assertEqual(reports, [], result["log"][-4000:])


if __name__ == "__main__":
    unittest.main()
