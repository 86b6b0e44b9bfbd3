#!/usr/bin/env python3
"""What a new user meets when something is missing: no client container, an
unreadable settings plist, an unreadable user-info plist, a service that can't
be reached or refuses, a screenshot folder that can't be written, a second
vigild, a trigger with no vigild. Each case ends in one clear log line and one
toast (or message) naming the cause and what to do; nothing is half-written or
lost; the daemon keeps running and does its job once the cause is mended."""

import hashlib
import os
import plistlib
import shutil
import signal
import socket
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from devserver import DEMO_USER, start_devserver  # noqa: E402
from sandbox import bin, make_sandbox, read_journal, stored_files, wait_for  # noqa: E402

USER = DEMO_USER[0]
STORE = "com.velmor.files.property.plist"
UPINFO = "com.velmor.upinfo.plist"


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def sha1(path):
    with open(path, "rb") as f:
        return hashlib.sha1(f.read()).hexdigest()


class NewUser(unittest.TestCase):
    def setUp(self):
        self.box = make_sandbox(user=USER, settings={"screenshotsecond": 1,
                                                     "screenshotsound": True})
        self.addCleanup(self.box.cleanup)
        self.shots = os.path.join(self.box.documents, "ScreenShot", USER)
        self.daemons = []
        self.addCleanup(self.stop_daemons)

    def stop_daemons(self):
        for d, log in self.daemons:
            if d.poll() is None:
                d.send_signal(signal.SIGTERM)
                try:
                    d.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    d.kill()
                    d.wait()
            log.close()

    def start(self, env):
        log = open(os.path.join(self.box.root, "vigild-%d.log" % len(self.daemons)), "w+")
        d = subprocess.Popen([bin("vigild")], env=env, stdout=subprocess.DEVNULL, stderr=log)
        self.daemons.append((d, log))
        self.assertTrue(wait_for(lambda: os.listdir(self.box.notify_dir), timeout=60),
                        "vigild did not observe its trigger")
        return d

    def log(self):
        d, log = self.daemons[0]
        with open(log.name, encoding="utf-8", errors="replace") as f:
            return f.read()

    def toasts(self):
        return [e["text"] for e in read_journal(self.box.ui_journal) if e["event"] == "toast"]

    def trigger(self, env):
        subprocess.run([bin("quillbox"), "trigger"], env=env, check=True, timeout=60)

    def shots_now(self):
        return stored_files(self.shots)

    def records(self):
        return (self.box.read_plist(STORE) or {}).get(USER, [])

    def files_under(self, folder):
        return sorted(os.path.relpath(os.path.join(d, f), folder)
                      for d, _, files in os.walk(folder) for f in files)

    # --- what is kept ---------------------------------------------------------
    def not_offered(self, case):
        """Stored without a user: no record, no prompt, no upload."""
        nouser = os.path.join(self.box.documents, "ScreenShot", "_nouser")
        self.assertEqual(len(os.listdir(nouser)), 1)
        self.assertEqual([e for e in read_journal(self.box.ui_journal) if e["event"] == "alert"],
                         [])
        self.assertNotIn("日志：开始上传", self.log())

    def nothing_stored(self, case):
        self.assertEqual(self.files_under(self.box.documents), case.get("documents", []))
        self.assertEqual(self.records(), [])

    def capture_kept(self, case):
        """The screenshot, its record and its digest stay; nothing marks it started."""
        names = self.shots_now()
        self.assertEqual(len(names), 1, names)
        path = os.path.join(self.shots, names[0])
        record = [r for r in self.records() if r["path"] == path]
        self.assertEqual(len(record), 1, self.records())
        self.assertEqual(record[0]["hash"], sha1(path))
        states = [r.get("state") for r in (self.box.read_plist(UPINFO) or {}).get(USER, [])
                  if r.get("path") == path]
        self.assertNotIn(5, states)
        self.assertNotEqual(record[0].get("state"), 2)

    # --- the cases ------------------------------------------------------------
    def cases(self):
        """The table, for the sandbox of this moment."""
        app = os.path.join(self.box.container, "quillbox.app")
        settings = os.path.join(self.box.library, "com.velmor.info.plist")
        userinfo = os.path.join(self.box.library, "com.velmor.userinfo.plist")
        torn = b"<?xml version=\"1.0\"?><plist><dict><key>screenshotsecond</key>"
        folder_file = os.path.join(self.box.documents, "ScreenShot")
        port = closed_port()

        def write(path, data):
            with open(path, "wb") as f:
                f.write(data)

        def read(path):
            with open(path, "rb") as f:
                return f.read()
        return [
            {"name": "no client container",
             "prepare": lambda env: os.rename(app, app + ".moved"),
             "toast": "没有找到Sorelle客户端，截屏未保存：请先安装并登录Sorelle客户端",
             "log": "日志:没有找到客户端, 截屏未保存: %s 下没有含 quillbox.app 的文件夹"
                    % self.box.apps_root,
             "kept": self.nothing_stored,
             "mend": lambda env: os.rename(app + ".moved", app)},
            {"name": "unreadable settings",
             "prepare": lambda env: write(settings, torn),
             "toast": "截屏设置无法读取，本次按默认设置截屏：请在Sorelle客户端中重新保存设置",
             "log": "日志:截屏设置无法读取, 按默认设置 (5秒倒计时, 有快门声): " + settings,
             # The capture goes ahead on the defaults (the toast comes before
             # its countdown); the settings stay as written.
             "kept": lambda case: (self.assertTrue(wait_for(lambda: len(self.shots_now()) == 1,
                                                            timeout=120), self.log()[-3000:]),
                                   self.assertEqual(read(settings), torn)),
             "mend": lambda env: self.box.write_plist(settings, {"screenshotsecond": 1})},
            {"name": "unreadable user info",
             "prepare": lambda env: write(userinfo, torn),
             "prompt": "confirm",
             "toast": "截屏已保存在本机，但不能存证：用户信息无法读取，请在Sorelle客户端登录后重新截屏",
             "log": "(用户信息无法读取 %s)" % userinfo,
             "kept": self.not_offered,
             "mend": lambda env: self.box.set_user(USER)},
            {"name": "service unreachable",
             "prepare": lambda env: self.use_service("https://127.0.0.1:%d/3/" % port, "t"),
             "prompt": "confirm",
             "toast": "无法连接存证服务，截屏已保存在本机：服务恢复后会自动上传，请检查网络和服务地址",
             "log": "日志:存证服务无法连接 https://127.0.0.1:%d/3/, 截屏已保存未上传" % port,
             "kept": self.capture_kept},
            {"name": "service refusing",
             "prepare": lambda env: self.use_service(None, "not-a-token", env),
             "prompt": "confirm",
             "toast": "存证服务拒绝了上传（invalid or missing access token），截屏已保存在本机："
                      "请在Sorelle客户端登录，登录后会自动上传",
             "log": "HTTP 401: invalid or missing access token), 截屏已保存未上传",
             "kept": self.capture_kept,
             "mend": lambda env: self.box.write_plist(
                 "com.velmor.webinfo.plist", {"type": "0", "access_token": self.srv.login()}),
             "then": lambda: self.assertTrue(wait_for(
                 lambda: [r for r in self.records() if r.get("state") == 2], timeout=120),
                 "the upload after the login did not finish")},
            {"name": "screenshot folder not writable",
             # A file where the folder must be: nobody, root included, writes below it.
             "prepare": lambda env: write(folder_file, b""),
             "toast": "截屏未保存：无法写入截屏文件夹，请检查它的权限和磁盘空间",
             "log": "日志:截屏保存失败 %s/ScreenShot_" % self.shots,
             "kept": self.nothing_stored, "documents": ["ScreenShot"],
             "mend": lambda env: os.remove(folder_file)},
        ]

    def test_each_case_says_what_to_do_and_keeps_everything(self):
        for i, name in enumerate(c["name"] for c in self.cases()):
            with self.subTest(name):
                if i:  # a fresh sandbox and daemon for each case
                    self.doCleanups()
                    self.setUp()
                self.run_case(self.cases()[i])

    def use_service(self, url, token, env=None):
        if url is None:
            self.srv = start_devserver()
            self.addCleanup(self.srv.stop)
            url = self.srv.base_url
            env["QUILLBOX_CA_FILE"] = self.srv.cert_path
        self.box.write_plist("com.velmor.loacal.plist", {"url": url})
        self.box.write_plist("com.velmor.webinfo.plist", {"type": "0", "access_token": token})

    def run_case(self, case):
        env = self.box.env(QUILLBOX_PROMPT=case.get("prompt", "none"))
        case["prepare"](env)
        daemon = self.start(env)
        self.trigger(env)
        self.assertTrue(wait_for(lambda: case["toast"] in self.toasts(), timeout=120),
                        (self.toasts(), self.log()[-3000:]))
        self.assertEqual(self.log().count(case["log"]), 1, self.log()[-3000:])
        case["kept"](case)
        # A file being written beside its place (the capture's hand-off may
        # still run) is not half-written; one that stays is.
        temporary = lambda: [f for f in self.files_under(self.box.root) if ".tmp" in f]  # noqa: E731
        wait_for(lambda: not temporary(), timeout=60)
        self.assertEqual(temporary(), [])
        self.assertIsNone(daemon.poll(), "vigild ended")

        # Mended (or not needed), the next trigger stores its capture.
        before = len(self.shots_now())
        if "mend" in case:
            case["mend"](env)
        self.trigger(env)
        self.assertTrue(wait_for(lambda: len(self.shots_now()) == before + 1, timeout=120),
                        self.log()[-3000:])
        if "then" in case:
            case["then"]()
        self.assertIsNone(daemon.poll(), "vigild ended")

    def test_a_trigger_with_no_vigild_says_so(self):
        env = self.box.env()

        def trigger():
            return subprocess.run([bin("quillbox"), "trigger"], env=env, capture_output=True,
                                  text=True, timeout=60)
        alone = trigger()
        self.assertEqual(alone.returncode, 2, alone.stderr)
        self.assertIn('quillbox: nobody observes "com.velmor.quillbox.server.screenshot" '
                      "(rendezvous folder %s): no vigild is running for this user"
                      % self.box.notify_dir, alone.stderr)
        # A vigild ended by SIGTERM takes its socket with it: the trigger after it says so too.
        daemon = self.start(env)
        daemon.send_signal(signal.SIGTERM)
        self.assertEqual(daemon.wait(timeout=60), 0)
        self.assertIn("vigild: SIGTERM received; closing its notifications and ending", self.log())
        self.assertEqual(os.listdir(self.box.notify_dir), [])
        self.assertEqual(trigger().returncode, 2)

    def test_a_second_vigild_for_the_same_user_exits_and_the_first_keeps_capturing(self):
        env = self.box.env()
        first = self.start(env)
        sockets = sorted(os.listdir(self.box.notify_dir))
        second = subprocess.run([bin("vigild")], env=env, capture_output=True, text=True,
                                timeout=120)
        self.assertEqual(second.returncode, 3, second.stderr)
        self.assertIn("vigild: another vigild already runs for this user (pid %d, lock %s); "
                      "exiting" % (first.pid, os.path.join(self.box.home, ".local", "share",
                                                           "quillbox", "vigild.lock")),
                      second.stderr)
        self.assertIn("截屏服务已在运行（进程 %d），无需再次启动" % first.pid, self.toasts())
        # It never observed the trigger: one trigger, one capture.
        self.assertEqual(sorted(os.listdir(self.box.notify_dir)), sockets)
        self.trigger(env)
        self.assertTrue(wait_for(lambda: self.shots_now(), timeout=120), self.log()[-3000:])
        self.assertEqual(len(self.shots_now()), 1)
        self.assertIsNone(first.poll(), "the first vigild ended")


if __name__ == "__main__":
    unittest.main()
