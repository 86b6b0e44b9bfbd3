"""One vigild under many triggers, each capture confirmed and uploaded to the
reference service (standard library only). The soak test checks what it must
keep doing; the soak benchmark (scripts/bench-soak.sh) also reads its memory.

    from soak import run_soak
    result = run_soak(150, check)   # check: a unittest.TestCase (assertions)

After every tenth of the triggers the daemon is waited on until it is idle
(every capture uploaded or its failure shown, and its worker threads ended);
then its resident size and open descriptors are sampled. An upload that fails
(the daemon logs it or says so on its status bar; a loaded machine can run it
past a time-out) is retried with `quillbox upload`, as a user would, and
counted. At the end every capture must be byte-identical at the service.

The result: triggers, elapsed seconds, uploaded, retried (file names), samples
[(trigger, RSS KiB, open fds)], fd_targets (what the descriptors pointed at,
first and last sample) and log (the daemon's standard error).
"""

import json
import os
import plistlib
import re
import signal
import statistics
import subprocess
import time

from devserver import DEMO_USER, start_devserver
from sandbox import bin, make_sandbox, wait_for

SAMPLES = 10
# Threads of an idle daemon: its main thread (ThreadSanitizer adds one of its own).
IDLE_THREADS = int(os.environ.get("QUILLBOX_SOAK_IDLE_THREADS", "1"))
STORE = "com.velmor.files.property.plist"


def proc_status(pid, key):
    with open("/proc/%d/status" % pid) as f:
        return next(int(line.split()[1]) for line in f if line.startswith(key + ":"))


def threads(pid):
    return proc_status(pid, "Threads")


def thread_names(pid):
    names = []
    for t in sorted(os.listdir("/proc/%d/task" % pid)):
        try:
            with open("/proc/%d/task/%s/comm" % (pid, t)) as f:
                names.append(f.read().strip())
        except OSError:
            pass
    return names


def fd_targets(pid):
    """What the process's descriptors point at (sockets and pipes by kind)."""
    targets = []
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            t = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        targets.append(re.sub(r":\[\d+\]$", "", t))
    return sorted(targets)


class Journal:
    """Reads the UI journal as it grows."""

    def __init__(self, path):
        self.path, self.offset, self.counts, self.failed = path, 0, {}, []

    def count(self, event):
        if os.path.exists(self.path):
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                data = f.read()
            end = data.rfind(b"\n") + 1
            self.offset += end
            for line in data[:end].decode("utf-8").splitlines():
                e = json.loads(line)
                if e["event"] == "statusBar" and "上传失败" in e.get("text", ""):
                    self.failed.append(e["text"])
                self.counts[e["event"]] = self.counts.get(e["event"], 0) + 1
        return self.counts.get(event, 0)


def memory_trend(result):
    """(warm samples, growth KiB) after the warm-up (the first fifth): the
    median of the slopes between every two samples (Theil-Sen) times the warm
    span. A leak climbs steadily; the allocator taking one more block late in
    the run is a single step the median ignores."""
    warm = [s for s in result["samples"] if s[0] > result["triggers"] // 5]
    slopes = sorted((b[1] - a[1]) / (b[0] - a[0])
                    for i, a in enumerate(warm) for b in warm[i + 1:])
    growth = round(statistics.median(slopes) * (warm[-1][0] - warm[0][0])) if slopes else 0
    return warm, growth


def run_soak(triggers, check):
    """Runs the soak; `check` (a unittest.TestCase) asserts what must hold."""
    srv = start_devserver()
    box = make_sandbox(user=DEMO_USER[0])
    daemon = None
    try:
        box.write_plist("com.velmor.info.plist", {"screenshotsecond": 1, "screenshotsound": True})
        box.write_plist("com.velmor.loacal.plist", {"url": srv.base_url})
        box.write_plist("com.velmor.webinfo.plist", {"type": "0", "access_token": srv.login()})
        env = box.env(QUILLBOX_PROMPT="confirm", QUILLBOX_CA_FILE=srv.cert_path)
        log_path = os.path.join(box.root, "vigild.log")
        with open(log_path, "w") as log:
            daemon = subprocess.Popen([bin("vigild")], env=env, stdout=subprocess.DEVNULL,
                                      stderr=log)
        check.assertTrue(wait_for(lambda: os.listdir(box.notify_dir), timeout=30),
                         "vigild did not observe its trigger")
        journal = Journal(box.ui_journal)
        store_path = os.path.join(box.library, STORE)
        shots = os.path.join(box.documents, "ScreenShot", DEMO_USER[0])

        def records():
            try:
                with open(store_path, "rb") as f:
                    return plistlib.load(f).get(DEMO_USER[0], [])
            except (OSError, plistlib.InvalidFileException):
                return []

        def uploaded():
            return sum(1 for r in records() if r.get("state") == 2)

        samples, retried = [], []
        first_targets = None
        started = time.monotonic()
        for n in range(1, triggers + 1):
            subprocess.run([bin("quillbox"), "trigger"], env=env, check=True, timeout=30)
            check.assertTrue(wait_for(lambda: journal.count("alert") >= n, timeout=120),
                             "capture %d did not come" % n)
            if n % max(1, triggers // SAMPLES) == 0 or n == triggers:
                def failed():  # paths whose upload or its preparation failed
                    journal.count("statusBar")
                    with open(log_path, encoding="utf-8", errors="replace") as f:
                        paths = re.findall(r"createFileOnServerFail start:(\S+)", f.read())
                    paths += [os.path.join(shots, t.split('"')[1]) for t in journal.failed]
                    return [p for p in dict.fromkeys(paths) if p not in retried]

                # Hang guards only: every capture uploads or shows its failure.
                done = wait_for(lambda: uploaded() + len(failed()) >= n, timeout=300,
                                step=0.2) and uploaded() >= n
                for path in failed():
                    r = subprocess.run([bin("quillbox"), "upload", path], env=env,
                                       capture_output=True, text=True, timeout=300)
                    check.assertEqual(r.returncode, 0, r.stderr[-2000:])
                    retried.append(path)
                if retried and not done:
                    done = wait_for(lambda: uploaded() >= n, timeout=120, step=0.2)
                if not done:
                    pending = [(r["path"][-40:], r.get("state")) for r in records()
                               if r.get("state") != 2]
                    with open(log_path, encoding="utf-8", errors="replace") as f:
                        tail = "\n".join(line for line in f.read().splitlines()
                                         if any(p[0][-26:] in line for p in pending))
                    check.fail("uploads did not finish by capture %d: %s\n%s"
                               % (n, pending, tail))
                # Idle: the upload and registration threads have ended.
                check.assertTrue(wait_for(lambda: threads(daemon.pid) == IDLE_THREADS,
                                          timeout=120, step=0.1),
                                 "vigild's worker threads did not end by capture %d: %s"
                                 % (n, thread_names(daemon.pid)))
                targets = fd_targets(daemon.pid)
                first_targets = first_targets or targets
                samples.append((n, proc_status(daemon.pid, "VmRSS"), len(targets)))
            check.assertIsNone(daemon.poll(), "vigild ended")
        elapsed = time.monotonic() - started

        # Every capture reached the service whole.
        store = {r["path"]: r for r in records()}
        names = sorted(os.listdir(shots))
        check.assertEqual(len(names), triggers)
        for name in names:
            path = os.path.join(shots, name)
            info = srv.file_info(store[path]["fileID"])
            digest = subprocess.run(["sha1sum", path], capture_output=True, text=True,
                                    check=True).stdout.split()[0]
            check.assertEqual((info["length"], info["sha1"]), (os.path.getsize(path), digest),
                              name)
        with open(log_path, encoding="utf-8", errors="replace") as f:
            log_text = f.read()
        return {"triggers": triggers, "elapsed": elapsed, "uploaded": uploaded(),
                "retried": [os.path.basename(p) for p in retried], "samples": samples,
                "fd_targets": (first_targets, targets), "log": log_text}
    finally:
        if daemon and daemon.poll() is None:
            daemon.send_signal(signal.SIGTERM)
            try:
                daemon.wait(timeout=30)
            except subprocess.TimeoutExpired:
                daemon.kill()
                daemon.wait()
        srv.stop()
        box.cleanup()
