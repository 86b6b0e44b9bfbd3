"""The capture road of vigild: trigger, countdown toast, wait, capture, stored PNG."""

import datetime
import os
import plistlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sandbox import bin, make_sandbox, read_journal, stored_files, wait_for  # noqa: E402

NAME_RE = re.compile(r"^ScreenShot_(\d{8})_(\d{6})\.png$")
PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


def journal(box):
    return read_journal(box.ui_journal)


def countdowns(box):
    """The countdown toasts (others, such as a service without an address, may come between)."""
    return [e for e in journal(box) if e["event"] == "toast" and "秒之后开始截屏" in e["text"]]


def parse_time(text):
    return datetime.datetime.fromisoformat(text).timestamp()


class Daemon:
    """vigild in a sandbox, with its log collected in a file."""

    def __init__(self, box, **env):
        self.box = box
        self.log_path = os.path.join(box.root, "vigild.log")
        self.log = open(self.log_path, "w")
        self.proc = subprocess.Popen([bin("vigild")], env=box.env(**env), stdout=subprocess.DEVNULL,
                                     stderr=self.log)
        if not wait_for(lambda: "运行截屏服务" in self.text(), timeout=60):
            raise AssertionError("vigild did not start: " + self.text())
        # The observer socket exists once the daemon listens.
        wait_for(lambda: os.listdir(box.notify_dir), timeout=60)

    def text(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def trigger(self):
        subprocess.run([bin("quillbox"), "trigger"], env=self.box.env(), check=True, timeout=10)

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()


class CaptureRoad(unittest.TestCase):
    def setUp(self):
        # A silent capture keeps the test independent of sound devices.
        self.box = make_sandbox(user="alice")
        self.box.write_plist("com.velmor.info.plist",
                             {"screenshotsecond": 3, "screenshotsound": True},
                             fmt=plistlib.FMT_BINARY)
        self.daemon = Daemon(self.box)

    def tearDown(self):
        self.daemon.stop()
        self.box.cleanup()

    def test_first_trigger_uses_defaults_then_settings_apply(self):
        folder = os.path.join(self.box.documents, "ScreenShot", "alice")
        self.daemon.trigger()
        first = wait_for(lambda: stored_files(folder), timeout=30)
        self.assertEqual(len(first), 1, self.daemon.text())
        toasts = countdowns(self.box)
        self.assertEqual(toasts[0]["text"], "5秒之后开始截屏")
        self.assertEqual(toasts[0]["position"], "center")
        self.assertEqual(toasts[0]["durationMs"], 2000)

        name = first[0]
        m = NAME_RE.match(name)
        self.assertTrue(m, name)
        stamp = datetime.datetime.strptime(m.group(1) + m.group(2), "%Y%m%d%H%M%S")
        self.assertLess(abs(stamp.timestamp() - time.time()), 60)
        path = os.path.join(folder, name)
        with open(path, "rb") as f:
            self.assertEqual(f.read(8), PNG_MAGIC)
        # ImageMagick reads it whole as a valid picture.
        out = subprocess.run(["identify", "-format", "%m %w %h", path], capture_output=True,
                             text=True, check=True).stdout.split()
        self.assertEqual(out[0], "PNG")
        saved_at = os.stat(path).st_mtime
        self.assertGreaterEqual(saved_at - parse_time(toasts[0]["time"]), 4.9)

        # The container is known now: the binary settings plist is read. A
        # countdown longer than the default shows it by a lower bound alone,
        # which a slow machine cannot break.
        self.box.write_plist("com.velmor.info.plist",
                             {"screenshotsecond": 7, "screenshotsound": True},
                             fmt=plistlib.FMT_BINARY)
        self.daemon.trigger()
        both = wait_for(lambda: len(stored_files(folder)) == 2 and stored_files(folder), timeout=60)
        self.assertTrue(both, self.daemon.text())
        toasts = countdowns(self.box)
        self.assertEqual(toasts[1]["text"], "7秒之后开始截屏")
        second = os.path.join(folder, [n for n in both if n != name][0])
        self.assertGreaterEqual(os.stat(second).st_mtime - parse_time(toasts[1]["time"]), 6.9)

    def test_no_usable_user_name_stores_under_nouser(self):
        for user in (None, "", "..", "../evil", "a/b"):
            with self.subTest(user=user):
                self.box.set_user(user) if user is not None else self.box.set_user(None)
                if user is not None:
                    self.box.write_plist("com.velmor.userinfo.plist", {"userName": user})
                before = stored_files(os.path.join(self.box.documents, "ScreenShot", "_nouser"))
                self.daemon.trigger()
                folder = os.path.join(self.box.documents, "ScreenShot", "_nouser")
                got = wait_for(lambda: len(stored_files(folder)) > len(before), timeout=30)
                self.assertTrue(got, self.daemon.text())
                self.assertIn("没有登录用户", self.daemon.text())
                time.sleep(1.1)
        # Nothing was written outside the container's screenshot folders.
        self.assertFalse(os.path.exists(os.path.join(self.box.documents, "evil")))
        self.assertFalse(os.path.exists(os.path.join(self.box.container, "evil")))
        self.assertEqual(sorted(os.listdir(os.path.join(self.box.documents, "ScreenShot"))),
                         ["_nouser"])

    def test_no_client_application_stores_nothing(self):
        os.rename(os.path.join(self.box.container, "quillbox.app"),
                  os.path.join(self.box.container, "Quillbox.app"))
        self.daemon.trigger()
        self.assertTrue(wait_for(lambda: "没有找到客户端" in self.daemon.text(), timeout=30))
        self.assertFalse(os.path.exists(os.path.join(self.box.documents, "ScreenShot")))


class UnusableTrigger(unittest.TestCase):
    """vigild exits non-zero with a clear line when it cannot observe its trigger,
    so that its service manager notices, instead of running deaf."""

    def test_rendezvous_folder_others_may_write_or_a_file(self):
        box = make_sandbox(user="alice")
        self.addCleanup(box.cleanup)
        not_a_folder = os.path.join(box.root, "a-file")
        open(not_a_folder, "w").close()
        os.chmod(box.notify_dir, 0o777)
        for folder, reason in ((box.notify_dir, "may be written by other users"),
                               (not_a_folder, "is not a folder owned by this user")):
            with self.subTest(folder=folder):
                r = subprocess.run([bin("vigild")], env=box.env(QUILLBOX_NOTIFY_DIR=folder),
                                   capture_output=True, text=True, timeout=30)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn(reason, r.stderr)
                self.assertIn("vigild: cannot observe the trigger notification; exiting",
                              r.stderr)
        self.assertEqual(os.listdir(box.notify_dir), [])


def have(program):
    return shutil.which(program) is not None


@unittest.skipUnless(have("Xvfb") and have("import") and have("convert"),
                     "Xvfb or ImageMagick missing")
class CaptureUnderX11(unittest.TestCase):
    """The stored PNG holds exactly the screen's pixels (checked against ImageMagick's capture)."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="qb-x11-")
        # The server picks a free display number itself, so parallel tests never collide.
        read_fd, write_fd = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "800x600x24",
                                      "-nolisten", "tcp"], pass_fds=(write_fd,),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd) as f:
            number = f.readline().strip()
        if not number:
            self.fail("Xvfb did not start")
        self.display = ":" + number
        env = dict(os.environ, DISPLAY=self.display)
        # A busy, many-coloured screen: a plasma fractal in a window that stays open
        # (a root background set by a client that exits goes back to black).
        background = os.path.join(self.tmp, "bg.png")
        subprocess.run(["convert", "-size", "800x600", "-seed", "7", "plasma:fractal", background],
                       check=True, env=env)
        self.display_proc = subprocess.Popen(["display", "-immutable", "-borderwidth", "0",
                                              "-geometry", "+0+0", background], env=env,
                                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Shown once the screen holds the picture and two grabs agree.
        grabs = []

        def shown():
            grabs.append(subprocess.run(["import", "-window", "root", "rgb:-"], env=env,
                                        capture_output=True).stdout)
            return len(set(grabs[-1][::4099])) > 50 and grabs[-2:] == [grabs[-1]] * 2
        if not wait_for(shown, timeout=60, step=0.2):
            self.fail("the picture did not appear on the screen")
        self.box = make_sandbox(user="alice")
        self.box.write_plist("com.velmor.info.plist", {"screenshotsound": True})

    def tearDown(self):
        for p in (getattr(self, "display_proc", None), self.xvfb):
            if p:
                p.kill()
                p.wait()
        if hasattr(self, "box"):
            self.box.cleanup()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_stored_png_equals_independent_capture(self):
        daemon = Daemon(self.box, QUILLBOX_SCREEN="x11", DISPLAY=self.display)
        try:
            daemon.trigger()
            folder = os.path.join(self.box.documents, "ScreenShot", "alice")
            got = wait_for(lambda: stored_files(folder), timeout=30)
            self.assertTrue(got, daemon.text())
        finally:
            daemon.stop()
        ours = os.path.join(folder, got[0])
        theirs = os.path.join(self.tmp, "import.png")
        subprocess.run(["import", "-window", "root", theirs], check=True,
                       env=dict(os.environ, DISPLAY=self.display))

        def pixels(path):
            return subprocess.run(["convert", path, "-alpha", "off", "rgb:-"], capture_output=True,
                                  check=True).stdout

        a, b = pixels(ours), pixels(theirs)
        self.assertEqual(len(a), 800 * 600 * 3)
        self.assertEqual(a, b)


if __name__ == "__main__":
    unittest.main()
