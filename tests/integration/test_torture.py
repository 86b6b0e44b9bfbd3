#!/usr/bin/env python3
"""Crash consistency: writers killed with SIGKILL at random moments, hundreds of times.

Two torture_writer processes share one container: they create evidence
records, update their states, rewrite their upload-state records and (one of
them) replace the session store, printing a line for every write that has
completed. After each SIGKILL every file is read with Python's plistlib (an
independent reader) and must hold everything acknowledged before the kill.
At the end a writer that is not killed runs once more; then no temporary file
may remain anywhere in the container.

QUILLBOX_TORTURE_KILLS sets the number of kills (default 200).
"""

import os
import plistlib
import random
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sandbox import bin, make_sandbox  # noqa: E402

KILLS = int(os.environ.get("QUILLBOX_TORTURE_KILLS", "200"))
PER_CONTAINER = 50  # a fresh container now and then keeps the store small
STORE = "com.velmor.files.property.plist"
UPINFO = "com.velmor.upinfo.plist"
WEBINFO = "com.velmor.webinfo.plist"
LENGTH = 1 << 20


def temporaries(root):
    return [os.path.join(d, n) for d, _, names in os.walk(root) for n in names if ".tmp." in n]


class Acknowledged:
    """What the writers confirmed, across the kills of one container."""

    def __init__(self):
        self.records, self.states, self.upinfo = {}, {}, {}
        self.session = None
        self.writes = 0

    def take(self, text):
        self.writes += len(text.splitlines())
        for line in text.splitlines():
            kind, *rest = line.split()
            if kind == "record":
                self.records[rest[0]] = rest[1]
            elif kind == "state":
                self.states[rest[0]] = int(rest[1])
            elif kind == "upinfo":
                self.upinfo[rest[0]] = int(rest[1])
            elif kind == "session":
                self.session = int(rest[0])


class TortureCase(unittest.TestCase):
    def writer(self, box, tag, seed, session_base=None, ops=None):
        args = [bin("torture_writer"), "--tag", tag, "--seed", str(seed)]
        if session_base is not None:
            args += ["--session-base", str(session_base)]
        if ops is not None:
            args += ["--ops", str(ops)]
        return subprocess.Popen(args, env=box.env(), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)

    def read(self, box, name):
        """The plist as plistlib reads it ({} when missing); a parse error fails the test."""
        path = os.path.join(box.library, name)
        if not os.path.exists(path):
            return {}
        with open(path, "rb") as f:
            return plistlib.load(f)

    def check(self, box, acked, where):
        store = self.read(box, STORE).get("alice", [])
        upinfo = self.read(box, UPINFO).get("alice", [])
        by_path = {r["path"]: r for r in store}
        losses = []
        for path, digest in acked.records.items():
            rec = by_path.get(path)
            if rec is None or rec.get("hash") != digest:
                losses.append("record " + path)
            elif rec.get("state", 0) < acked.states.get(path, 0):
                losses.append("state %s: %s < %d" % (path, rec.get("state"), acked.states[path]))
        values = {r["path"]: r["value"] for r in upinfo}
        for path, n in acked.upinfo.items():
            if round(values.get(path, -1) * LENGTH) < n:
                losses.append("upinfo %s" % path)
        if acked.session is not None:
            web = self.read(box, WEBINFO)
            token = int(web.get("access_token", "tok-0")[4:])
            if token < acked.session:
                losses.append("session %d < %d" % (token, acked.session))
            if os.stat(os.path.join(box.library, WEBINFO)).st_mode & 0o077:
                losses.append("session store readable by others")
        self.assertEqual(losses, [], where)
        return 2 + (acked.session is not None) + len(acked.records)

    def test_killed_writers_lose_nothing_acknowledged(self):
        rng = random.Random(int(os.environ.get("QUILLBOX_TORTURE_SEED", "14")))
        kills = files_checked = records = writes = temps_seen = 0
        box = acked = None
        try:
            for i in range(KILLS):
                if i % PER_CONTAINER == 0:
                    if box:
                        records += len(acked.records)
                        writes += acked.writes
                        box.cleanup()
                    box, acked = make_sandbox(user="alice"), Acknowledged()
                seed = rng.randrange(1, 1 << 30)
                procs = [self.writer(box, "a", seed, session_base=i * 100000),
                         self.writer(box, "b", seed + 1)]
                time.sleep(rng.uniform(0.02, 0.4))
                for p in procs:
                    p.send_signal(signal.SIGKILL)
                for p in procs:
                    out, err = p.communicate(timeout=60)
                    self.assertEqual(p.returncode, -signal.SIGKILL, err[-2000:])
                    acked.take(out)
                kills += 1
                temps_seen += len(temporaries(box.container))
                files_checked += self.check(box, acked, "after kill %d" % kills)
            # A writer that ends by itself sweeps what the killed ones left.
            clean = self.writer(box, "c", 7, session_base=KILLS * 100000, ops=30)
            out, err = clean.communicate(timeout=120)
            self.assertEqual(clean.returncode, 0, err[-2000:])
            acked.take(out)
            records += len(acked.records)
            writes += acked.writes
            files_checked += self.check(box, acked, "after the clean run")
            left = temporaries(box.container)
            self.assertEqual(left, [])
        finally:
            if box:
                box.cleanup()
        print("torture: %d kills, %d files checked with plistlib, %d acknowledged writes "
              "(%d records created), losses 0, temporary files seen right after a kill %d, "
              "left at the end %d" % (kills, files_checked, writes, records, temps_seen, len(left)))


if __name__ == "__main__":
    unittest.main()
