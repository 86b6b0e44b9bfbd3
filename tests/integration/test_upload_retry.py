#!/usr/bin/env python3
"""A confirmed screenshot reaches the service once it can: the service is down
when "存证" is answered and comes back later (the same port, data and
certificate); the file arrives with no command typed, also when vigild is
stopped and started again in between. The person is told once."""

# ctest-labels: threaded (run under ThreadSanitizer by make test-tsan)
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from devserver import DEMO_USER, start_devserver  # noqa: E402
from sandbox import bin, make_sandbox, read_journal, stored_files, wait_for  # noqa: E402

USER = DEMO_USER[0]
STORE = "com.velmor.files.property.plist"
UPINFO = "com.velmor.upinfo.plist"
TOLD = "无法连接存证服务，截屏已保存在本机：服务恢复后会自动上传，请检查网络和服务地址"
FINISHED = "有 1 个任务上传完成!    剩余任务数:0"
SANITIZER_REPORT = re.compile(r"ERROR: (Address|Leak)Sanitizer|WARNING: ThreadSanitizer|"
                              r"runtime error:")


def sha1(path):
    with open(path, "rb") as f:
        return hashlib.sha1(f.read()).hexdigest()


class UploadComesBack(unittest.TestCase):
    def setUp(self):
        self.data = tempfile.mkdtemp(prefix="qb-retry-data-")
        self.addCleanup(shutil.rmtree, self.data, True)
        # Once up to learn its port, certificate and a session; then down.
        srv = start_devserver(data_dir=self.data)
        self.port, self.cert, token = srv.port, srv.cert_path, srv.login()
        srv.stop()
        self.srv = None
        self.box = make_sandbox(user=USER, settings={"screenshotsecond": 1,
                                                     "screenshotsound": True})
        self.addCleanup(self.box.cleanup)
        self.box.write_plist("com.velmor.loacal.plist",
                             {"url": "https://127.0.0.1:%d/3/" % self.port})
        self.box.write_plist("com.velmor.webinfo.plist", {"type": "0", "access_token": token})
        self.env = self.box.env(QUILLBOX_PROMPT="confirm", QUILLBOX_CA_FILE=self.cert)
        self.logs = []
        self.daemon = None
        self.addCleanup(self.stop_all)

    def stop_all(self):
        if self.daemon and self.daemon.poll() is None:
            self.daemon.kill()
            self.daemon.wait()
        for log in self.logs:
            log.close()
        if self.srv:
            self.srv.stop()

    def start_daemon(self):
        log = open(os.path.join(self.box.root, "vigild-%d.log" % len(self.logs)), "w+")
        self.logs.append(log)
        self.daemon = subprocess.Popen([bin("vigild")], env=self.env, stdout=subprocess.DEVNULL,
                                       stderr=log)
        self.assertTrue(wait_for(lambda: os.listdir(self.box.notify_dir), timeout=60),
                        "vigild did not observe its trigger")

    def log(self):
        with open(self.logs[-1].name, encoding="utf-8", errors="replace") as f:
            return f.read()

    def journal(self, event, key="text"):
        return [e[key] for e in read_journal(self.box.ui_journal) if e["event"] == event]

    def upload_state(self, path):
        records = (self.box.read_plist(UPINFO) or {}).get(USER, [])
        states = [r.get("state") for r in records if r.get("path") == path]
        return states[0] if states else None

    def test_the_file_arrives_once_the_service_is_back(self):
        for restart in (False, True):
            with self.subTest(restart=restart):
                if restart:
                    self.doCleanups()
                    self.setUp()
                self.run_case(restart)

    def run_case(self, restart):
        self.start_daemon()
        subprocess.run([bin("quillbox"), "trigger"], env=self.env, check=True, timeout=60)
        self.assertTrue(wait_for(lambda: TOLD in self.journal("toast"), timeout=120),
                        self.log()[-3000:])
        shots = os.path.join(self.box.documents, "ScreenShot", USER)
        path = os.path.join(shots, stored_files(shots)[0])
        # Confirmed and not uploaded: its upload-state record is there, not finished.
        self.assertIn(self.upload_state(path), (3, 6))
        self.assertTrue(wait_for(lambda: "日志:上传未完成, 4 秒后重试: " + path in self.log(),
                                 timeout=120), self.log()[-3000:])

        if restart:
            self.daemon.send_signal(signal.SIGTERM)
            self.assertEqual(self.daemon.wait(timeout=60), 0, self.log()[-3000:])
            self.assertEqual(os.listdir(self.box.notify_dir), [])
            self.start_daemon()
            self.assertIn("日志:继续上传 1 个已确认但未上传完的文件", self.log())
            self.assertTrue(wait_for(lambda: "日志:上传未完成, 2 秒后重试: " + path in self.log(),
                                     timeout=120), self.log()[-3000:])

        # The service comes back where it was; nobody types anything.
        self.srv = start_devserver(data_dir=self.data, port=self.port)
        self.assertTrue(wait_for(lambda: self.upload_state(path) == 2, timeout=600),
                        self.log()[-3000:])
        file_id = [r for r in self.box.read_plist(STORE)[USER] if r["path"] == path][0]["fileID"]
        info = self.srv.file_info(str(file_id))
        self.assertEqual((info["length"], info["sha1"]), (os.path.getsize(path), sha1(path)))
        self.assertTrue(wait_for(lambda: FINISHED in self.journal("statusBar"), timeout=60))
        # Told once, however many tries it took.
        self.assertEqual(self.journal("toast").count(TOLD), 1)
        self.assertIsNone(self.daemon.poll(), "vigild ended")
        for log in self.logs:
            with open(log.name, encoding="utf-8", errors="replace") as f:
                self.assertEqual(SANITIZER_REPORT.findall(f.read()), [], log.name)


if __name__ == "__main__":
    unittest.main()
