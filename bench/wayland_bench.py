#!/usr/bin/env python3
"""Times the Wayland capture roads on sway headless, against grim (standard library).

Whole process (start, connect, copy the outputs, encode, store with fsync:
what grim's figure includes) for `capture_bench --screen wayland` and `grim`,
alternating, REPS times each; the ratio ours/grim has the goal <= 0.5. Then
per capture inside one process, and the portal road (`--screen portal`
through xdg-desktop-portal, whose wlr backend runs grim itself) whole process.
A figure past its goal prints MISSED; nothing here fails the run.

Usage: bench/wayland_bench.py BUILD_DIR [REPS]
"""
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))
from wayland_session import WaylandSession, missing_tools  # noqa: E402

GOAL = 0.5


def timed(session, cmd, env=None):
    t0 = time.monotonic()
    session.run(cmd, env=env)
    return (time.monotonic() - t0) * 1000


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    reps = int(sys.argv[2]) if len(sys.argv) > 2 else 9
    bench = os.path.abspath(os.path.join(build, "bin", "capture_bench"))
    gone = missing_tools(portal=True) + ([] if os.access(bench, os.X_OK) else [bench])
    if gone:
        print("bench-wayland: missing " + ", ".join(gone))
        return 1
    load = open("/proc/loadavg").read().split()[0]
    with WaylandSession((("HEADLESS-1", "1920x1080", "0 0", "normal"),)) as s:
        ours_png, grim_png = (os.path.join(s.dir, n) for n in ("ours.png", "grim.png"))
        wayland = ["--screen", "wayland", "--count", "1", "--out", ours_png]
        timed(s, [bench] + wayland)  # warm-up of both (page cache, compositor buffers)
        timed(s, ["grim", grim_png])
        ours, theirs = [], []
        for _ in range(reps):
            ours.append(timed(s, [bench] + wayland))
            theirs.append(timed(s, ["grim", grim_png]))
        inproc = s.run([bench, "--screen", "wayland", "--count", str(reps), "--out",
                        os.path.join(s.dir, "inproc")]).stdout.decode().splitlines()[-1]
        o, t = statistics.median(ours), statistics.median(theirs)
        ratio = o / t
        print("== sway headless 1920x1080, %d repetitions, medians (load average %s)" % (reps, load))
        print("   grim (whole process)              : %.1f ms, %d bytes" % (t, os.path.getsize(grim_png)))
        print("   ours, whole process (one capture) : %.1f ms, %d bytes" % (o, os.path.getsize(ours_png)))
        print("   ours, per capture in one process  : " + inproc.replace("summary: ", ""))
        print("   time ratio ours/grim %.2f (goal <= %.2f)%s" % (ratio, GOAL,
                                                               "" if ratio <= GOAL else " MISSED"))

        env = s.start_portal()
        portal = ["--screen", "portal", "--count", "1", "--out", ours_png]
        timed(s, [bench] + portal, env)
        times = [timed(s, [bench] + portal, env) for _ in range(reps)]
        print("== the desktop portal road (xdg-desktop-portal, wlr backend), whole process")
        print("   ours through the portal            : %.1f ms median (%.1f..%.1f)"
              % (statistics.median(times), min(times), max(times)))
        print("   against grim alone                 : %.2f x" % (statistics.median(times) / t))
    return 0


if __name__ == "__main__":
    sys.exit(main())
