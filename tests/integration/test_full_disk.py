#!/usr/bin/env python3
"""A real full disk: the container on a small tmpfs in a private mount namespace.

vigild runs against a container that lives on a 4 MiB tmpfs mounted in a
mount namespace of the test's own (unshare -m), so nothing outside sees it.
  1. a capture with room to spare is stored and recorded;
  2. with the disk full, a capture fails with a clear log line: no PNG, the
     store unchanged, no temporary file, the daemon alive;
  3. with room for the picture but not for the store's rewrite, the picture
     is kept and the store write fails with a log line, the store (read with
     plistlib) still whole and unchanged;
  4. once space returns, the next capture is stored and recorded.
Skipped with the reason where mounting is not allowed (a failure under CI=true).
"""

import os
import plistlib
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sandbox import bin, make_sandbox, read_journal, stored_files, wait_for  # noqa: E402

STORE = "com.velmor.files.property.plist"
NO_SPACE = "No space left on device"


def inside_namespace():
    """The namespace half; gives a process exit status."""
    box = make_sandbox(user="alice")
    daemon = None
    try:
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", box.container],
                       check=True)
        for d in ("quillbox.app", "Library", "Documents"):
            os.makedirs(os.path.join(box.container, d))
        box.write_plist(os.path.join(box.container, "quillbox.app", "Info.plist"),
                        {"CFBundleVersion": "1.3.07010"})
        box.set_user("alice")
        box.write_plist("com.velmor.info.plist", {"screenshotsecond": 1, "screenshotsound": True})
        shots = os.path.join(box.documents, "ScreenShot", "alice")
        store_path = os.path.join(box.library, STORE)
        log_path = os.path.join(box.root, "vigild.log")
        log = open(log_path, "w")
        daemon = subprocess.Popen([bin("vigild")], env=box.env(), stdout=subprocess.DEVNULL,
                                  stderr=log)
        assert wait_for(lambda: os.listdir(box.notify_dir), timeout=60), "vigild did not start"

        def text():
            with open(log_path, encoding="utf-8", errors="replace") as f:
                return f.read()

        def capture(expect_alerts, wait_line=None):
            subprocess.run([bin("quillbox"), "trigger"], env=box.env(), check=True, timeout=10)
            if wait_line:
                ok = wait_for(lambda: text().count(wait_line[0]) >= wait_line[1], timeout=30)
            else:
                ok = wait_for(lambda: len([e for e in read_journal(box.ui_journal)
                                           if e["event"] == "alert"]) >= expect_alerts, timeout=30)
            assert ok, "capture did not end: " + text()[-2000:]
            assert daemon.poll() is None, "vigild ended: " + text()[-2000:]

        def read_store():
            with open(store_path, "rb") as f:
                return plistlib.load(f)

        def leftovers():
            return [n for _, _, names in os.walk(box.container) for n in names if ".tmp." in n]

        # 1. Room to spare; then a store of many records, as after months of use.
        capture(1)
        first = stored_files(shots)
        assert len(first) == 1, first
        png_size = os.path.getsize(os.path.join(shots, first[0]))
        store = read_store()
        store["alice"] += [{"path": "/x/Documents/ScreenShot/alice/old-%d.png" % i, "type": 8,
                            "time": 1700000000000 + i, "sha1": "a" * 40, "md5": "",
                            "size": 1000 + i, "state": 2, "hash": "b" * 40}
                           for i in range(3000)]
        with open(store_path, "wb") as f:
            plistlib.dump(store, f)
        store_bytes = open(store_path, "rb").read()

        # 2. A full disk.
        filler = os.path.join(box.container, "filler")
        with open(filler, "wb") as f:
            try:
                while True:
                    f.write(b"\0" * 65536)
                    f.flush()
            except OSError:
                pass
        capture(0, wait_line=("日志:截屏保存失败", 1))
        assert NO_SPACE in text(), text()[-2000:]
        assert stored_files(shots) == first, os.listdir(shots)
        assert open(store_path, "rb").read() == store_bytes, "store changed on a full disk"
        assert leftovers() == [], leftovers()

        # 3. Room for the picture, not for the store's rewrite (about 1 MiB).
        free = png_size * 2 + 128 * 1024
        assert free < len(store_bytes), (free, len(store_bytes))
        os.truncate(filler, max(0, os.path.getsize(filler) - free))
        # Stored, but without its record it can't be checked before an
        # upload: it is not offered, and the person is told why.
        capture(1, wait_line=("日志:截屏不能存证, 不提供上传", 1))
        assert wait_for(lambda: "日志:文件属性库写入失败" in text(), timeout=30), text()[-2000:]
        assert "无法写入文件属性库" in " ".join(e.get("text", "") for e in read_journal(box.ui_journal)
                                         if e["event"] == "toast")
        assert len(stored_files(shots)) == 2, os.listdir(shots)
        assert open(store_path, "rb").read() == store_bytes, "store changed on a full disk"
        assert len(read_store()["alice"]) == 3001
        assert leftovers() == [], leftovers()

        # 4. Space returns: the next capture is stored and recorded.
        os.remove(filler)
        capture(2)
        assert wait_for(lambda: len(stored_files(shots)) == 3, timeout=30)
        newest = stored_files(shots)[-1]
        assert wait_for(lambda: any(r["path"].endswith("/" + newest) and r.get("hash")
                                    for r in read_store()["alice"]), timeout=30), newest
        assert leftovers() == [], leftovers()
        assert daemon.poll() is None
        print("full disk: tmpfs of 4 MiB; a full disk refused the capture (\"%s\"), a store of "
              "%d bytes refused its rewrite with %d bytes free and stayed whole (that capture "
              "kept, not offered for upload), the daemon stayed up, the next capture was stored "
              "and recorded; temporary files left 0"
              % (NO_SPACE, len(store_bytes), free))
        return 0
    except AssertionError as e:
        print("FAILED inside namespace: %s" % e)
        return 1
    finally:
        if daemon and daemon.poll() is None:
            daemon.kill()
            daemon.wait()
        subprocess.run(["umount", box.container], capture_output=True)
        box.cleanup()


class FullDiskCase(unittest.TestCase):
    def test_capture_and_store_on_a_full_disk(self):
        if not shutil.which("unshare"):
            self.skipTest("unshare (util-linux) is missing")
        probe = tempfile.mkdtemp(prefix="qb-mount-")
        try:
            made = subprocess.run(["unshare", "-m", "--propagation", "private", "mount", "-t",
                                   "tmpfs", "-o", "size=1m", "tmpfs", probe],
                                  capture_output=True, text=True)
        finally:
            os.rmdir(probe)
        if made.returncode != 0:
            self.skipTest("mounting a tmpfs in a private mount namespace is not allowed here: "
                          + made.stderr.strip())
        inner = subprocess.run(["unshare", "-m", "--propagation", "private", sys.executable,
                                os.path.abspath(__file__), "--inside-namespace"],
                               capture_output=True, text=True, timeout=300)
        print(inner.stdout.strip())
        self.assertEqual(inner.returncode, 0, inner.stdout[-3000:] + inner.stderr[-3000:])


if __name__ == "__main__":
    if sys.argv[1:] == ["--inside-namespace"]:
        sys.exit(inside_namespace())
    unittest.main()
