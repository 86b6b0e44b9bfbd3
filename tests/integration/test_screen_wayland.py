#!/usr/bin/env python3
"""Evidence from a real Wayland desktop: sway headless, run by an ordinary user.

With the default settings vigild (and the widget host) store exactly what grim,
the independent peer, reads from the same compositor, also with XWayland's
DISPLAY beside WAYLAND_DISPLAY; two outputs side by side (one turned) give one
picture equal to grim's; forced through the desktop portal (the real
xdg-desktop-portal with its wlr backend) the picture is the same again. With
only XWayland's DISPLAY, or no display at all, nothing is stored: no picture,
record, registration or proof, one log line names the cause, a toast tells the
person, and the daemon keeps running. One compositor start per class.
Skipped (exit 77) when sway, grim, XWayland or the portal's programs are missing.
"""

import json
import os
import plistlib
import signal
import socket
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sandbox import bin, make_sandbox, read_journal, stored_files, wait_for  # noqa: E402
from wayland_session import PORTAL_FILE, WaylandSession, missing_tools, rgb, size  # noqa: E402
from weeapphost import prepare_container, start_host  # noqa: E402

FAILED_LOG = "日志:截屏失败: "
FAILED_TOAST = "截屏失败："
SANITIZER_REPORTS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                     "WARNING: ThreadSanitizer")
# What the session decides: none of the caller's own display or bus settings.
SESSION_VARS = ("DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE", "XDG_RUNTIME_DIR",
                "DBUS_SESSION_BUS_ADDRESS", "QUILLBOX_SCREEN", "XAUTHORITY", "NOTIFY_SOCKET")


class Capture:
    """One trigger of vigild as the session's user in a fresh sandbox; the outcome."""

    def __init__(self, session, **env):
        self.box = make_sandbox(user="alice", settings={"screenshotsecond": 1,
                                                        "screenshotsound": True})
        session.own(self.box.root)
        self.env = self.box.env(HOME=self.box.home)
        for name in SESSION_VARS:
            self.env.pop(name, None)
        self.env.update({k: v for k, v in env.items() if v is not None})
        self.log_path = os.path.join(self.box.root, "vigild.log")
        with open(self.log_path, "w") as log:
            self.proc = subprocess.Popen([bin("vigild")], env=self.env, stdout=subprocess.DEVNULL,
                                         stderr=log, **session.popen_kw)
        self.folder = os.path.join(self.box.documents, "ScreenShot", "alice")
        try:
            if not wait_for(lambda: os.listdir(self.box.notify_dir), timeout=15):
                raise AssertionError("vigild did not start: " + self.log())
            subprocess.run([bin("quillbox"), "trigger"], env=self.env, check=True, timeout=10,
                           **session.popen_kw)
            # Stored means its proof is written too (the last of the hand-off's files).
            wait_for(lambda: self.proved() or FAILED_LOG in self.log(), timeout=30)
            self.running = self.proc.poll() is None
        finally:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(timeout=10)

    def log(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def stored(self):
        return stored_files(self.folder)

    def proof_path(self, name):
        return os.path.join(self.box.library, "Proofs", "alice", name + ".proof.json")

    def proved(self):
        return any(os.path.exists(self.proof_path(n)) for n in self.stored())

    def proof(self, name):
        with open(self.proof_path(name)) as f:
            return json.load(f)

    def toasts(self):
        return [e["text"] for e in read_journal(self.box.ui_journal) if e["event"] == "toast"]

    def cleanup(self):
        self.box.cleanup()


class Desktop(unittest.TestCase):
    OUTPUTS = (("HEADLESS-1", "1280x720", "0 0", "normal"),)

    @classmethod
    def setUpClass(cls):
        cls.session = WaylandSession(cls.OUTPUTS)

    @classmethod
    def tearDownClass(cls):
        cls.session.close()

    def capture(self, **env):
        c = Capture(self.session, **env)
        self.addCleanup(c.cleanup)
        for report in SANITIZER_REPORTS:
            self.assertNotIn(report, c.log())
        return c

    def assert_real_screen(self, c, source, outputs=None):
        shots = c.stored()
        self.assertEqual(len(shots), 1, c.log())
        ours = os.path.join(c.folder, shots[0])
        theirs = self.session.grim(os.path.join(self.session.dir, "grim-%s.png" % source))
        self.assertEqual(size(ours), size(theirs))
        self.assertTrue(rgb(ours) == rgb(theirs), "the stored picture is not grim's: " + ours)
        screen = c.proof(shots[0])["screen"]
        self.assertEqual(screen["source"], source)
        if outputs is not None:
            self.assertEqual([(o["name"], o["x"], o["y"], o["width"], o["height"], o["scale"],
                               o["transform"]) for o in screen["outputs"]], outputs)
        self.assertTrue(c.running, c.log())

    def assert_nothing_stored(self, c, reason, toast):
        self.assertIn(FAILED_LOG + reason, c.log())
        self.assertEqual([n for n in c.log().splitlines() if FAILED_LOG in n][1:], [],
                         "one line names the cause")
        for top, _, files in os.walk(c.box.documents):
            self.assertEqual(files, [], top)
        self.assertFalse(os.path.exists(os.path.join(c.box.library, "Proofs")))
        self.assertFalse(os.path.exists(os.path.join(c.box.library,
                                                     "com.velmor.files.property.plist")))
        self.assertTrue([t for t in c.toasts() if t.startswith(FAILED_TOAST) and toast in t],
                        c.toasts())
        self.assertTrue(c.running, "the daemon keeps running: " + c.log())


class OneOutput(Desktop):
    def test_default_settings_store_the_real_screen_beside_xwayland(self):
        s = self.session
        c = self.capture(WAYLAND_DISPLAY=s.env["WAYLAND_DISPLAY"], DISPLAY=s.env["DISPLAY"],
                         XDG_RUNTIME_DIR=s.dir)
        self.assert_real_screen(c, "wayland", [("HEADLESS-1", 0, 0, 1280, 720, 1.0, "normal")])

    def test_xwayland_display_alone_stores_nothing(self):
        c = self.capture(DISPLAY=self.session.env["DISPLAY"], XDG_RUNTIME_DIR=self.session.dir)
        self.assert_nothing_stored(c, "the X display \"%s\" is XWayland" % self.session.env["DISPLAY"],
                                   "XWayland")

    def test_no_display_stores_nothing(self):
        c = self.capture(XDG_RUNTIME_DIR=self.session.dir)
        self.assert_nothing_stored(c, "no display: neither WAYLAND_DISPLAY nor DISPLAY is set",
                                   "没有找到屏幕")

    def test_widget_host_stores_the_real_screen(self):
        box = make_sandbox(user="alice", settings={"screenshotsecond": 1, "screenshotsound": True})
        self.addCleanup(box.cleanup)
        prepare_container(box, None, "alice")
        self.session.own(box.root)
        env = {name: None for name in SESSION_VARS}
        env.update(WAYLAND_DISPLAY=self.session.env["WAYLAND_DISPLAY"],
                   XDG_RUNTIME_DIR=self.session.dir, HOME=box.home)
        host = start_host(box, popen_kw=self.session.popen_kw, **env)
        self.addCleanup(host.stop)
        self.assertEqual(host.post("/api/click", {"view": host.buttons()["截屏存证"]})[0], 204)
        folder = os.path.join(box.documents, "ScreenShot", "alice")
        shots = wait_for(lambda: stored_files(folder), timeout=30)
        self.assertTrue(shots, host.log())
        theirs = self.session.grim(os.path.join(self.session.dir, "grim-host.png"))
        self.assertTrue(rgb(os.path.join(folder, shots[0])) == rgb(theirs))

    def test_service_started_before_the_display_exits_to_be_restarted(self):
        box = make_sandbox(user="alice")
        self.addCleanup(box.cleanup)
        ready = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(ready.close)
        ready.bind(os.path.join(box.root, "notify.sock"))
        ready.setblocking(False)
        env = box.env()
        for name in SESSION_VARS:
            env.pop(name, None)
        env["NOTIFY_SOCKET"] = os.path.join(box.root, "notify.sock")
        r = subprocess.run([bin("vigild")], env=env, capture_output=True, text=True, timeout=30)
        self.assertEqual(r.returncode, 75, r.stderr)
        self.assertIn("vigild: no display in the environment yet", r.stderr)
        with self.assertRaises(BlockingIOError):
            ready.recv(100)  # never said it was ready


class TwoOutputsSideBySide(Desktop):
    # The second output is turned a quarter: its 800x600 mode stands 600 wide, 800 high
    # (sway's "90" turns clockwise; wl_output counts counter-clockwise: "270").
    OUTPUTS = (("HEADLESS-1", "1280x720", "0 0", "normal"),
               ("HEADLESS-2", "800x600", "1280 0", "90"))

    def test_one_picture_equal_to_grims(self):
        c = self.capture(WAYLAND_DISPLAY=self.session.env["WAYLAND_DISPLAY"],
                         XDG_RUNTIME_DIR=self.session.dir)
        self.assert_real_screen(c, "wayland", [("HEADLESS-1", 0, 0, 1280, 720, 1.0, "normal"),
                                               ("HEADLESS-2", 1280, 0, 600, 800, 1.0, "270")])
        self.assertEqual(size(os.path.join(c.folder, c.stored()[0])), (1880, 800))


class ThroughThePortal(Desktop):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        try:
            cls.bus = cls.session.start_portal()["DBUS_SESSION_BUS_ADDRESS"]
        except BaseException:
            cls.session.close()
            raise

    def test_forced_portal_stores_the_real_screen_and_removes_its_file(self):
        s = self.session
        c = self.capture(QUILLBOX_SCREEN="portal", DBUS_SESSION_BUS_ADDRESS=self.bus,
                         WAYLAND_DISPLAY=s.env["WAYLAND_DISPLAY"], XDG_RUNTIME_DIR=s.dir)
        self.assert_real_screen(c, "portal", [])
        self.assertFalse(os.path.exists(PORTAL_FILE), "the portal's file is removed once read")


if __name__ == "__main__":
    gone = missing_tools(portal=True)
    if gone:
        print("test_screen_wayland: skipped, missing " + ", ".join(gone), file=sys.stderr)
        sys.exit(77)
    unittest.main()
