"""quillbox upload against the reference service over HTTPS: the requests of a
first upload, resumption after a killed client and after a dropped connection,
refusal of a changed file, and failures reported with their reason."""

import base64
import hashlib
import os
import time
import plistlib
import re
import signal
import subprocess
import sys
import unittest
import urllib.parse
import wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sandbox import bin, make_sandbox  # noqa: E402
from devserver import CLIENT_SECRET, DevServerUnavailable, start_devserver  # noqa: E402

STORE = "com.velmor.files.property.plist"
UPINFO = "com.velmor.upinfo.plist"
USER = ("alice", "pw-alice", "13900000001")
MiB = 1024 * 1024


def sha1sum(path):
    """The peer's digest (coreutils sha1sum)."""
    out = subprocess.run(["sha1sum", path], check=True, capture_output=True, text=True).stdout
    return out.split()[0]


def header(entry, name):
    for k, v in entry.get("headers", []):
        if k.lower() == name.lower():
            return v
    return None


class UploadCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.q = bin("quillbox")
        try:
            cls.srv = start_devserver(users=[USER])
        except DevServerUnavailable:
            raise unittest.SkipTest("quillbox-devserver not built")
        cls.token = cls.srv.login(USER[0], USER[1])

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()

    def setUp(self):
        self.box = make_sandbox(user=USER[0])
        self.box.write_plist("com.velmor.loacal.plist", {"url": self.srv.base_url})
        self.box.write_plist("com.velmor.webinfo.plist", {"access_token": self.token})
        self.shots = os.path.join(self.box.documents, "ScreenShot", USER[0])
        os.makedirs(self.shots)
        self.srv.clear_faults()
        self.srv.admin("DELETE", "replies")
        self.srv.clear_requests()

    def tearDown(self):
        self.srv.clear_faults()
        self.srv.admin("DELETE", "replies")
        self.box.cleanup()

    # -- helpers ---------------------------------------------------------
    def env(self):
        return self.box.env(QUILLBOX_CA_FILE=self.srv.cert_path)

    def record(self, path, kind=8, time_ms=1700000000000):
        """The file's property record, made with hashlib and plistlib (an
        independent peer of the store's own record creation)."""
        digest = sha1sum(path)
        size = os.path.getsize(path)
        keyed = hashlib.sha1(("%s%d%d%s" % (digest, time_ms, size, CLIENT_SECRET)).encode()).hexdigest()
        store = self.box.read_plist(STORE) or {"root": []}
        store.setdefault(USER[0], []).append({
            "type": kind, "time": time_ms, "sha1": keyed, "md5": "", "size": size,
            "path": path, "state": 0, "hash": digest})
        self.box.write_plist(STORE, store)
        return digest, keyed

    def random_file(self, name, size):
        path = os.path.join(self.shots, name)
        with open(path, "wb") as f:
            subprocess.run(["head", "-c", str(size), "/dev/urandom"], stdout=f, check=True)
        return path

    def upload(self, path, *extra, timeout=300):
        return subprocess.run([self.q, "upload", path] + list(extra), env=self.env(),
                              capture_output=True, text=True, timeout=timeout)

    def api(self, resource=None):
        reqs = [r for r in self.srv.requests() if r.get("resource", "").startswith("file/")]
        if resource:
            reqs = [r for r in reqs if r["resource"] == resource]
        return reqs

    def file_id(self, path):
        for rec in (self.box.read_plist(STORE) or {}).get(USER[0], []):
            if rec.get("path") == path:
                return rec.get("fileID")
        return None

    def upinfo(self, path):
        for rec in (self.box.read_plist(UPINFO) or {}).get(USER[0], []):
            if rec.get("path") == path:
                return rec
        return None

    def ui_events(self, kind):
        import json
        if not os.path.exists(self.box.ui_journal):
            return []
        with open(self.box.ui_journal, encoding="utf-8") as f:
            return [e for e in map(json.loads, f) if e["event"] == kind]

    def assert_resumed_from(self, path, held):
        """A second upload: no creation, one length query, the rest from `held`."""
        self.srv.clear_requests()
        r = self.upload(path)
        self.assertEqual(r.returncode, 0, r.stderr[-2000:])
        self.assertEqual([x["resource"] for x in self.api()],
                         ["file/length.json", "file/upload.json"])
        up = self.api("file/upload.json")[0]
        query = dict(urllib.parse.parse_qsl(up["query"]))
        self.assertEqual(int(query["index"]), held)
        self.assertEqual(int(header(up, "Content-Length")), os.path.getsize(path) - held)
        info = self.srv.file_info(self.file_id(path))
        self.assertEqual(info["length"], os.path.getsize(path))
        self.assertEqual(info["sha1"], sha1sum(path))


class FirstUploadTest(UploadCase):
    def test_requests_thumbnails_and_stored_copy(self):
        path = os.path.join(self.shots, "ScreenShot_2024-05-06_07.08.09.png")
        with open(path, "wb") as f:
            f.write(os.urandom(2 * MiB + 13))
        digest, keyed = self.record(path)
        stem = "ScreenShot_2024-05-06_07"  # the name up to its first "."
        thumbs = {}
        for folder, field in (("samll", "small_img"), ("middle", "middle_img")):
            d = os.path.join(self.box.home, "Documents", "img", folder)
            os.makedirs(d, exist_ok=True)
            data = os.urandom(3000) + b"\xfb\xff"  # bytes whose Base64 holds "-" or "_"
            with open(os.path.join(d, stem + "_Thumbnail.jpg"), "wb") as f:
                f.write(data)
            thumbs[field] = base64.urlsafe_b64encode(data).decode()

        r = self.upload(path)
        self.assertEqual(r.returncode, 0, r.stderr[-3000:])
        self.assertEqual([x["resource"] for x in self.api()],
                         ["file/create.json", "file/length.json", "file/upload.json"])
        create, length, up = self.api()
        fields = urllib.parse.parse_qsl(create["body"], keep_blank_values=True)
        self.assertEqual([k for k, _ in fields],
                         ["name", "type", "length", "hash", "sha1", "time", "small_img",
                          "middle_img"])
        values = dict(fields)
        self.assertEqual(values["name"], os.path.basename(path))
        self.assertEqual(values["type"], "08")
        self.assertEqual(values["length"], str(os.path.getsize(path)))
        self.assertEqual(values["hash"], digest)
        self.assertEqual(values["sha1"], keyed)
        self.assertEqual(values["time"], "1700000000000")
        self.assertEqual(values["small_img"], thumbs["small_img"])
        self.assertEqual(values["middle_img"], thumbs["middle_img"])
        self.assertTrue(header(create, "Authorization").endswith(self.token))

        file_id = self.file_id(path)
        self.assertTrue(file_id)
        self.assertEqual(dict(urllib.parse.parse_qsl(length["query"])), {"id": file_id})
        query = dict(urllib.parse.parse_qsl(up["query"]))
        self.assertEqual(query, {"id": file_id, "index": "0"})
        self.assertEqual(int(header(up, "Content-Length")), os.path.getsize(path))
        self.assertEqual(header(up, "Content-Type"), "application/octet-stream")

        info = self.srv.file_info(file_id)
        self.assertEqual(info["length"], os.path.getsize(path))
        self.assertEqual(info["sha1"], sha1sum(path))

        state = self.upinfo(path)
        self.assertEqual((state["state"], state["value"], state["fileID"], state["type"]),
                         (2, 1.0, file_id, 8))
        self.assertEqual([e["text"] for e in self.ui_events("statusBar")],
                         ["添加 1 个任务到上传队列！    上传任务总数:1",
                          "有 1 个任务上传完成!    剩余任务数:0"])
        # Plain output: progress lines that only go forward and end at the size,
        # one per 256 KiB sent and one for the rest; the log says as much.
        progress = [int(l.split()[1].split("/")[0]) for l in r.stdout.splitlines()
                    if l.startswith("progress ")]
        self.assertEqual(progress, sorted(set(progress)))
        self.assertEqual(progress[-1], os.path.getsize(path))
        self.assertGreaterEqual(len(progress), 9)
        self.assertGreaterEqual(r.stderr.count("didSendBodyData:"), 9)

    def test_progress_bar_on_a_terminal(self):
        # Standard error on a pseudo-terminal: one bar redrawn in place, never
        # going backwards, ending full.
        import pty
        path = self.random_file("bar.bin", 40 * 1024 * 1024 + 5)
        self.record(path)
        leader, follower = pty.openpty()
        try:
            proc = subprocess.Popen([self.q, "upload", path], env=self.env(),
                                    stdout=subprocess.PIPE, stderr=follower, text=True)
            os.close(follower)
            follower = None
            err = b""
            while True:
                try:
                    chunk = os.read(leader, 65536)
                except OSError:  # the terminal's other side has closed
                    break
                if not chunk:
                    break
                err += chunk
            proc.communicate(timeout=300)
        finally:
            if follower is not None:
                os.close(follower)
            os.close(leader)
        self.assertEqual(proc.returncode, 0, err[-2000:])
        bars = re.findall(rb"\r\[([#-]{40})\] +([0-9.]+)%  ([0-9.]+)/([0-9.]+) MiB", err)
        self.assertGreaterEqual(len(bars), 161)  # one redraw per 256 KiB, one for the rest
        percents = [float(p) for _, p, _, _ in bars]
        self.assertEqual(percents, sorted(percents))
        self.assertEqual(bars[-1][0], b"#" * 40)
        self.assertEqual(percents[-1], 100.0)
        self.assertEqual(float(bars[-1][3]), 40.0)

    def test_audio_kind_sends_its_playing_time(self):
        path = os.path.join(self.box.documents, USER[0], "Audio", "rec.wav")
        os.makedirs(os.path.dirname(path))
        with wave.open(path, "wb") as w:  # the peer that writes the audio file
            w.setnchannels(1)
            w.setsampwidth(2)
            w.setframerate(8000)
            w.writeframes(b"\0\0" * 8000 * 2 + b"\0\0" * 2000)  # 2.25 s
        self.record(path, kind=2)
        r = self.upload(path, "--kind", "2")
        self.assertEqual(r.returncode, 0, r.stderr[-2000:])
        values = dict(urllib.parse.parse_qsl(self.api("file/create.json")[0]["body"]))
        self.assertEqual(values["type"], "02")
        self.assertEqual(values["time_length"], "2250")


class RefusalTest(UploadCase):
    def test_a_file_changed_after_its_record_is_never_uploaded(self):
        path = self.random_file("ScreenShot_changed.png", 200000)
        self.record(path)
        with open(path, "r+b") as f:
            f.seek(1000)
            b = f.read(1)
            f.seek(1000)
            f.write(bytes([b[0] ^ 1]))
        r = self.upload(path)
        self.assertEqual(r.returncode, 1)
        self.assertIn("refused", r.stderr)
        self.assertEqual(self.api(), [])

    def test_a_file_without_record_is_refused(self):
        path = self.random_file("ScreenShot_unknown.png", 1000)
        r = self.upload(path)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(self.api(), [])

    def test_creation_failures_carry_their_reason(self):
        path = self.random_file("ScreenShot_c.png", 5000)
        self.record(path)
        self.srv.set_fault(resource="file/create.json", count=1, status=500, body="")
        r = self.upload(path)
        self.assertEqual(r.returncode, 1)
        self.assertIn("网络异常，请重试。", r.stderr)
        self.srv.set_fault(resource="file/create.json", count=1, status=200,
                           body='{"error":"空间不足"}')
        r = self.upload(path)
        self.assertEqual(r.returncode, 1)
        self.assertIn("空间不足", r.stderr)
        self.assertEqual(self.api("file/upload.json"), [])
        self.assertEqual(self.upinfo(path)["state"], 3)

    def test_a_service_length_past_the_end_of_the_file_fails_before_any_body(self):
        path = self.random_file("ScreenShot_s.png", 5000)
        self.record(path)
        self.srv.admin("POST", "replies", json={
            "method": "GET", "path": "/3/file/length.json", "status": 200,
            "body": '{"length": 9000}', "contentType": "application/json"})
        r = self.upload(path)
        self.assertEqual(r.returncode, 1)
        self.assertIn("failed:", r.stderr)
        self.assertEqual(self.api("file/upload.json"), [])
        self.assertEqual(self.upinfo(path)["state"], 3)
        self.assertIn("\"ScreenShot_s.png\"上传失败!",
                      [e["text"] for e in self.ui_events("statusBar")])


class ResumeTest(UploadCase):
    def test_kill_during_the_body_then_resume(self):
        path = self.random_file("ScreenShot_big.png", 256 * MiB)
        self.record(path)
        with open(os.path.join(self.box.root, "client.log"), "wb") as log:
            p = subprocess.Popen([self.q, "upload", path], env=self.env(),
                                 stdout=subprocess.PIPE, stderr=log)
            try:
                for line in p.stdout:  # the first 8 MiB block has been sent
                    if line.startswith(b"progress "):
                        os.kill(p.pid, signal.SIGKILL)
                        break
            finally:
                if p.poll() is None:
                    p.kill()
                p.wait()
                p.stdout.close()
        self.assertEqual(p.returncode, -signal.SIGKILL)
        self.assertEqual(len(self.api("file/create.json")), 1)
        file_id = self.file_id(path)
        self.assertTrue(file_id)
        # The service still reads what was in flight when the client died:
        # its length counts once it has stopped moving (a minute at most).
        held, deadline = -1, time.monotonic() + 60
        while time.monotonic() < deadline:
            now = self.srv.file_info(file_id)["length"]
            if now == held:
                break
            held = now
            time.sleep(0.3)
        self.assertGreater(held, 0)
        self.assertLess(held, 256 * MiB)
        self.assert_resumed_from(path, held)

    def test_dropped_connection_then_resume(self):
        path = self.random_file("ScreenShot_drop.png", 64 * MiB + 777)
        self.record(path)
        cut = 20 * MiB + 12345
        self.srv.set_fault(dropAfterBytes=cut, count=1)
        r = self.upload(path)
        self.assertEqual(r.returncode, 1, r.stdout[-500:])
        self.assertIn("failed:", r.stderr)
        self.assertEqual(self.upinfo(path)["state"], 3)
        self.assertEqual(self.srv.file_info(self.file_id(path))["length"], cut)
        self.assert_resumed_from(path, cut)
        self.assertEqual(self.upinfo(path)["state"], 2)


if __name__ == "__main__":
    unittest.main()
