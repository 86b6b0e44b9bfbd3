"""vigild on a desktop: the exact notification calls against a stand-in server on a
private session bus, clicks on the prompt's actions, and the toast's close before
the grab.

The screen is a FIFO (QUILLBOX_SCREEN=file:FIFO): the daemon's read of it is the
grab, so the test sees the moment of the grab when its own open for writing
succeeds, and only then hands over the picture.
"""

import os
import signal
import struct
import subprocess
import sys
import unittest
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop import SessionBus, StandIn, require, wait_readable_fifo  # noqa: E402
from devserver import start_devserver  # noqa: E402
from sandbox import bin, make_sandbox, read_journal, wait_for  # noqa: E402

USER = "demo"
PROMPT_ACTIONS = ["0", "稍后存证", "1", "存证"]


def png(width=64, height=48):
    """A small RGB PNG (standard library only)."""
    rows = b"".join(b"\0" + b"".join(bytes((x * 4 % 256, y * 5 % 256, 90)) for x in range(width))
                    for y in range(height))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows))
            + chunk(b"IEND", b""))


class DesktopNotifications(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = start_devserver()
        cls.bus = SessionBus()
        cls.notifications = StandIn(cls.bus)

    @classmethod
    def tearDownClass(cls):
        cls.notifications.close()
        cls.bus.close()
        cls.server.stop()

    def setUp(self):
        self.server.clear_requests()
        self.notifications.clear()
        self.daemons = []
        self.box = make_sandbox(user=USER)
        self.box.write_plist("com.velmor.info.plist", {"screenshotsound": True})
        self.box.write_plist("com.velmor.loacal.plist", {"url": self.server.base_url})
        self.box.write_plist("com.velmor.webinfo.plist",
                             {"type": "0", "access_token": self.server.login()})
        self.fifo = os.path.join(self.box.root, "screen.png")
        os.mkfifo(self.fifo)

    def tearDown(self):
        for d in self.daemons:
            d.send_signal(signal.SIGTERM)
            d.wait(timeout=10)
            d.stdout.close()
        self.box.cleanup()

    def start(self, prompt="none", ui=None, **env):
        env = self.box.env(**dict(dict(
            QUILLBOX_PROMPT=prompt, QUILLBOX_CA_FILE=self.server.cert_path,
            QUILLBOX_HOME=self.box.container, QUILLBOX_SCREEN="file:" + self.fifo,
            DBUS_SESSION_BUS_ADDRESS=self.bus.address), **env))
        if ui is None:
            env.pop("QUILLBOX_UI")
        else:
            env["QUILLBOX_UI"] = ui
        self.env = env
        sockets = set(os.listdir(self.box.notify_dir))
        daemon = subprocess.Popen([bin("vigild")], env=env, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL)
        self.daemons.append(daemon)
        self.assertTrue(wait_for(lambda: set(os.listdir(self.box.notify_dir)) - sockets,
                                 timeout=60))
        return daemon

    def trigger(self):
        subprocess.run([bin("quillbox"), "trigger"], env=self.env, check=True, timeout=60)

    def notifies(self, summary=None):
        return [c for c in self.notifications.calls("Notify")
                if summary is None or c["summary"] == summary]

    def capture(self):
        """Trigger, then serve the grab: gives (toast call, calls recorded before the grab)."""
        self.trigger()
        toast = wait_for(lambda: self.notifies("5秒之后开始截屏"), timeout=60)
        self.assertTrue(toast)
        fd = wait_readable_fifo(self.fifo)
        self.assertIsNotNone(fd, "the daemon never read the screen")
        before_grab = self.notifications.calls()
        os.write(fd, png())
        os.close(fd)
        return toast[0], before_grab

    def prompt(self):
        prompts = wait_for(lambda: self.notifies("截屏成功"), timeout=30)
        self.assertTrue(prompts)
        return prompts[0]

    def answers(self):
        return [e for e in read_journal(self.box.ui_journal) if e["event"] == "alertAnswer"]

    def test_calls_toast_prompt_and_status_and_a_click_on_preserve_uploads(self):
        self.start(ui="desktop,journal:" + self.box.ui_journal)
        toast, before_grab = self.capture()
        self.assertEqual({k: toast[k] for k in ("app", "replaces", "icon", "body", "actions",
                                                "hints", "timeout")},
                         {"app": "quillbox", "replaces": 0, "icon": "", "body": "", "actions": [],
                          "hints": {"transient": True}, "timeout": 2000})
        # The toast was closed, and the server said so, before the screen was read.
        self.assertIn({"call": "CloseNotification", "id": toast["id"]},
                      [{"call": c["call"], "id": c.get("id")} for c in before_grab])
        self.assertIn(("NotificationClosed", toast["id"]),
                      [(c["call"], c.get("id")) for c in before_grab])

        prompt = self.prompt()
        alert = [e for e in read_journal(self.box.ui_journal) if e["event"] == "alert"][0]
        path = alert["subviews"][0]["path"]
        self.assertEqual(prompt["body"], os.path.basename(path))
        self.assertEqual(prompt["actions"], PROMPT_ACTIONS)
        self.assertEqual(prompt["hints"], {"image-path": "file://" + path})
        self.assertEqual((prompt["replaces"], prompt["timeout"]), (0, 0))

        # Neither another bus client nor an id the daemon never made answers the prompt.
        self.notifications.control("InvokeAsStranger", prompt["id"], "0")
        self.notifications.control("Invoke", prompt["id"] + 1000, "0")
        self.notifications.control("Invoke", prompt["id"], "1")
        answers = wait_for(self.answers, timeout=60)
        self.assertEqual([(a["index"], a["by"]) for a in answers], [(1, "user")])

        done = wait_for(lambda: self.notifications.calls("UnInhibit"), timeout=60)
        self.assertTrue(done)
        status = [(c["summary"], c["replaces"], c["hints"], c["timeout"]) for c in self.notifies()
                  if c["summary"] not in ("5秒之后开始截屏", "截屏成功")]
        first_id = self.notifies("添加 1 个任务到上传队列！    上传任务总数:0")[0]["id"]
        self.assertEqual(status, [
            ("添加 1 个任务到上传队列！    上传任务总数:0", 0,
             {"category": "transfer", "transient": True}, 2000),
            ("有 1 个任务上传完成!    剩余任务数:0", first_id,
             {"category": "transfer.complete", "transient": True}, 2000)])
        inhibit = self.notifications.calls("Inhibit")
        self.assertEqual([(c["app"], c["reason"]) for c in inhibit], [("quillbox", "正在上传证据")])
        self.assertEqual(done[0]["cookie"], inhibit[0]["cookie"])
        self.assertIn("file/upload.json", [r["resource"] for r in self.server.requests()])

    def test_a_click_on_preserve_later_uploads_nothing(self):
        self.start(ui="desktop,journal:" + self.box.ui_journal)
        self.capture()
        prompt = self.prompt()
        self.notifications.control("Invoke", prompt["id"], "0")
        self.assertEqual([a["index"] for a in wait_for(self.answers, timeout=60)], [0])
        # The answer ran on the main loop before the next trigger: an upload would have
        # taken its inhibitor before this toast.
        self.trigger()
        self.assertTrue(wait_for(lambda: len(self.notifies("5秒之后开始截屏")) == 2, timeout=60))
        self.assertEqual(self.notifications.calls("Inhibit"), [])
        self.assertNotIn("file/create.json", [r["resource"] for r in self.server.requests()])

    def closes(self, nid):
        return [c for c in self.notifications.calls("CloseNotification") if c["id"] == nid]

    def test_an_answered_prompt_leaves_the_desktop_whoever_answered(self):
        for by, prompt_policy in (("user", "none"), ("policy", "decline")):
            with self.subTest(by=by):
                if self.daemons:
                    self.tearDown()
                    self.setUp()
                self.start(prompt=prompt_policy, ui="desktop,journal:" + self.box.ui_journal)
                self.capture()
                prompt = self.prompt()
                if by == "user":  # a server that leaves it shown, as dunst does
                    self.notifications.control("InvokeAndKeep", prompt["id"], "0")
                self.assertTrue(wait_for(lambda: self.closes(prompt["id"]), timeout=60))
                self.assertEqual([(a["index"], a["by"])
                                  for a in wait_for(self.answers, timeout=60)], [(0, by)])

    def test_a_stopped_daemon_takes_its_prompt_and_its_socket_away(self):
        daemon = self.start(ui="desktop,journal:" + self.box.ui_journal)
        self.capture()
        prompt = self.prompt()  # unanswered
        self.assertEqual(self.closes(prompt["id"]), [])
        daemon.send_signal(signal.SIGTERM)
        self.assertEqual(daemon.wait(timeout=60), 0)
        self.daemons.remove(daemon)
        daemon.stdout.close()
        self.assertTrue(self.closes(prompt["id"]))
        self.assertEqual(os.listdir(self.box.notify_dir), [])

    def test_default_backend_is_the_desktop_when_a_server_answers(self):
        self.start()  # no QUILLBOX_UI
        self.trigger()
        self.assertTrue(wait_for(lambda: self.notifies("5秒之后开始截屏"), timeout=60))
        # Without a reachable bus: the journal on standard output.
        first = self.daemons.pop()
        first.kill()
        first.wait()
        first.stdout.close()
        lone = self.start(DBUS_SESSION_BUS_ADDRESS="unix:path=" + self.box.root + "/no-bus",
                          XDG_RUNTIME_DIR=self.box.root)
        self.trigger()
        line = lone.stdout.readline().decode()
        self.assertIn('"event":"toast"', line.replace(" ", ""))


if __name__ == "__main__":
    require(["dbus-daemon", "dbus-send"], dbus_modules=True)
    unittest.main()
