"""After the PNG is stored: property record, evidence prompt, thumbnails, version gate, upload."""

import base64
import hashlib
import os
import signal
import subprocess
import sys
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from devserver import DEMO_USER, start_devserver  # noqa: E402
from sandbox import bin, make_sandbox, read_journal, wait_for  # noqa: E402

USER, PASSWORD, PHONE = DEMO_USER


def sha1_of(path):
    with open(path, "rb") as f:
        return hashlib.sha1(f.read()).hexdigest()


class HandOff(unittest.TestCase):
    server = None

    @classmethod
    def setUpClass(cls):
        cls.server = start_devserver()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.server.clear_requests()
        self.daemon = None

    def tearDown(self):
        if self.daemon:
            self.daemon.send_signal(signal.SIGTERM)
            try:
                self.daemon.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.daemon.kill()
            self.log.close()
        self.box.cleanup()

    def start(self, prompt, client_version="1.3.07010"):
        self.box = make_sandbox(user=USER, client_version=client_version)
        self.box.write_plist("com.velmor.info.plist",
                             {"screenshotsound": True, "screenshotsecond": 1})
        self.box.write_plist("com.velmor.userinfo.plist", {"userName": USER, "usernamelogin": USER})
        self.box.write_plist("com.velmor.loacal.plist", {"url": self.server.base_url})
        # A session the service accepts, as the client application would have left it.
        self.box.write_plist("com.velmor.webinfo.plist",
                             {"type": "0", "access_token": self.server.login()})
        # The daemon keeps the sandbox's home, which is not the container.
        env = self.box.env(QUILLBOX_PROMPT=prompt, QUILLBOX_CA_FILE=self.server.cert_path)
        self.env = env
        self.log_path = os.path.join(self.box.root, "vigild.log")
        self.log = open(self.log_path, "w")
        self.daemon = subprocess.Popen([bin("vigild")], env=env, stdout=subprocess.DEVNULL,
                                       stderr=self.log)
        self.assertTrue(wait_for(lambda: os.listdir(self.box.notify_dir), timeout=60))
        subprocess.run([bin("quillbox"), "trigger"], env=env, check=True, timeout=60)

    def journal(self):
        return read_journal(self.box.ui_journal)

    def events(self, kind):
        return [e for e in self.journal() if e["event"] == kind]

    def daemon_log(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def stored(self):
        alerts = wait_for(lambda: self.events("alert"), timeout=30)
        self.assertTrue(alerts, self.daemon_log())
        return alerts[0]

    def assert_nothing_started(self):
        """The daemon handles one event at a time on its main thread: once a
        second capture has been prompted, the first prompt's answer has been
        handled completely, and an upload it started would have logged."""
        subprocess.run([bin("quillbox"), "trigger"], env=self.env, check=True, timeout=60)
        self.assertTrue(wait_for(lambda: len(self.events("alert")) == 2, timeout=30),
                        self.daemon_log())
        self.assertNotIn("日志：开始上传", self.daemon_log())
        self.assertEqual(self.events("statusBar"), [])
        resources = [r["resource"] for r in self.server.requests()]
        self.assertNotIn("file/create.json", resources)
        self.assertNotIn("file/upload.json", resources)

    def test_prompt_layout_and_preserve_later(self):
        self.start("decline")
        alert = self.stored()
        self.assertEqual(alert["title"], "截屏成功")
        self.assertEqual(alert["message"], "\n" * 12)
        self.assertEqual(alert["buttons"], ["稍后存证", "存证"])
        self.assertEqual(alert["tag"], 0)
        picture, label = alert["subviews"]
        self.assertEqual(picture["frame"], [70, 44, 135, 210])
        path = picture["path"]
        name = os.path.basename(path)
        self.assertEqual(label["frame"], [8, 260, 265, 30])
        self.assertEqual(label["text"], name)  # the bare file name, not the path
        self.assertEqual(label["alignment"], "center")
        self.assertAlmostEqual(label["color"][0], 239 / 255, places=5)
        self.assertAlmostEqual(label["color"][2], 163 / 255, places=5)

        answer = wait_for(lambda: self.events("alertAnswer"), timeout=60)
        self.assertEqual(answer[0]["index"], 0)
        # "稍后存证" leaves the file, its record and its thumbnails, and starts nothing.
        self.assert_nothing_started()
        stem = name.split(".")[0]
        for folder in ("img/samll", "img/middle"):
            self.assertTrue(wait_for(lambda: os.path.exists(
                os.path.join(self.box.documents, folder, stem + "_Thumbnail.jpg")), timeout=60))
        self.assertTrue(os.path.exists(path))
        store = self.box.read_plist("com.velmor.files.property.plist")
        record = [r for r in store[USER] if r["path"] == path][0]
        self.assertEqual(record["hash"], sha1_of(path))
        self.assertEqual(record["type"], 8)

    def test_old_client_version_is_refused(self):
        self.start("confirm", client_version="1.3.07009")
        self.stored()
        toast = wait_for(lambda: [t for t in self.events("toast")
                                  if t["text"] == "旧版本不被允许上传，请更新Sorelle客户端"], timeout=60)
        self.assertTrue(toast, self.journal())
        self.assertEqual(toast[0]["position"], "center")
        self.assertEqual(toast[0]["durationMs"], 2000)
        self.assert_nothing_started()

    def test_confirmed_capture_is_uploaded(self):
        self.start("confirm", client_version="1.3.07010")
        path = self.stored()["subviews"][0]["path"]
        done = wait_for(lambda: [e for e in self.events("statusBar") if e["kind"] == "finished"],
                        timeout=60)
        self.assertTrue(done, self.daemon_log())
        plain = [e["text"] for e in self.events("statusBar") if e["kind"] == "plain"]
        self.assertEqual(plain, ["添加 1 个任务到上传队列！    上传任务总数:0"])
        self.assertEqual(done[0]["text"], "有 1 个任务上传完成!    剩余任务数:0")

        api = [r for r in self.server.requests()
               if r["resource"] not in ("file/safe.json", "login.json")]
        resources = [r["resource"] for r in api]
        self.assertEqual(resources, ["file/create.json", "file/length.json", "file/upload.json"])
        create, length, upload = api
        form = dict(kv.split("=", 1) for kv in create["body"].split("&"))
        self.assertEqual(list(form)[:4], ["name", "type", "length", "hash"])
        self.assertEqual(form["type"], "08")
        # The thumbnails lie in the container's Documents, not under the
        # daemon's home; both go with the creation, byte for byte.
        stem = os.path.basename(path).split(".")[0]
        for field, folder in (("small_img", "img/samll"), ("middle_img", "img/middle")):
            with open(os.path.join(self.box.documents, folder, stem + "_Thumbnail.jpg"), "rb") as f:
                self.assertEqual(base64.urlsafe_b64decode(urllib.parse.unquote(form[field])),
                                 f.read(), field)
        size = os.path.getsize(path)
        headers = {k.lower(): v for k, v in upload["headers"]}
        self.assertEqual(headers["content-length"], str(size))
        self.assertIn("index=0", upload["query"])
        store = self.box.read_plist("com.velmor.files.property.plist")
        record = [r for r in store[USER] if r["path"] == path][0]
        info = self.server.file_info(record["fileID"])
        self.assertEqual(info["sha1"], sha1_of(path))
        self.assertEqual(info["length"], size)


if __name__ == "__main__":
    unittest.main()
