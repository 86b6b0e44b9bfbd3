"""The older protocol: quillbox legacy-upload and legacy-message against a
recording HTTP server (chunking, header order, cookie quoting, the message form)
and against the reference service (form login, message, streamed chunks, a
byte-identical copy, resumption, and its XML replies read by quillbox xml)."""

import base64
import hashlib
import http.server
import json
import os
import subprocess
import sys
import threading
import unittest
import urllib.parse
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sandbox import bin, make_sandbox  # noqa: E402
from devserver import CLIENT_SECRET, DevServerUnavailable, password_digest, start_devserver  # noqa: E402

MiB = 1024 * 1024
VERSION = "4.5.6"
USER = ("alice", "pw-alice", "13900000001")
STREAM_HEADERS = ["Cookie", "Accept", "Connection", "User-Client", "Content-Type", "User-Agent",
                  "Authorization"]


def sha1sum(path):
    out = subprocess.run(["sha1sum", path], check=True, capture_output=True, text=True).stdout
    return out.split()[0]


class Recorder(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self):
        self.requests = []
        self.replies = []  # (status, body) for the next requests, else 200 and `default`
        self.default = b"<result><type>0</type><message>ok</message></result>"
        self.lock = threading.Lock()
        super().__init__(("127.0.0.1", 0), RecordingHandler)


class RecordingHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        with self.server.lock:
            self.server.requests.append((self.path, list(self.headers.items()), body))
            status, reply = self.server.replies.pop(0) if self.server.replies else (
                200, self.server.default)
        self.send_response(status)
        self.send_header("Content-Type", "application/xml")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


class LegacyCase(unittest.TestCase):
    def setUp(self):
        self.q = bin("quillbox")
        self.box = make_sandbox(user=USER[0])
        self.bundle = os.path.join(self.box.root, "bundle")
        os.makedirs(self.bundle)
        self.box.write_plist(os.path.join(self.bundle, "Info.plist"), {"CFBundleVersion": VERSION})
        self.shots = os.path.join(self.box.documents, "ScreenShot", USER[0])
        os.makedirs(self.shots)

    def tearDown(self):
        self.box.cleanup()

    def run_q(self, *args, stdin=None, **env):
        return subprocess.run([self.q] + list(args), input=stdin, capture_output=True, text=True,
                              timeout=300,
                              env=self.box.env(QUILLBOX_MAIN_BUNDLE=self.bundle, **env))

    def session(self, url, token, cookie, current="current-token"):
        self.box.write_plist("com.velmor.loacal.plist", {"url": url})
        self.box.write_plist("com.velmor.webinfo.plist", {
            "access_token": current, "accessToken": token, "cookieName": "QBSESSION",
            "cookieValue": cookie})

    def random_file(self, name, size):
        path = os.path.join(self.shots, name)
        with open(path, "wb") as f:
            f.write(os.urandom(size))
        return path

    def record(self, path, kind, time_ms=1700000000000):
        """The file's property record, made with hashlib and plistlib."""
        digest, size = sha1sum(path), os.path.getsize(path)
        keyed = hashlib.sha1(("%s%d%d%s" % (digest, time_ms, size, CLIENT_SECRET)).encode()).hexdigest()
        store = self.box.read_plist("com.velmor.files.property.plist") or {"root": []}
        store.setdefault(USER[0], []).append({"type": kind, "time": time_ms, "sha1": keyed,
                                              "md5": "", "size": size, "path": path, "state": 0,
                                              "hash": digest})
        self.box.write_plist("com.velmor.files.property.plist", store)
        return digest, keyed


class RecordingServerTest(LegacyCase):
    def setUp(self):
        super().setUp()
        self.server = Recorder()
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.url = "http://127.0.0.1:%d/3/" % self.server.server_address[1]

    def tearDown(self):
        self.server.shutdown()
        self.server.server_close()
        super().tearDown()

    def test_chunks_headers_and_progress(self):
        cases = [  # size, offset, body sizes, cookie value, Cookie field
            (MiB, 0, [MiB], "k=v==", 'QBSESSION="k=v=="'),
            (MiB + 1, 0, [MiB, 1], "plain", "QBSESSION=plain"),
            (2 * MiB + 5, MiB + 3, [MiB, 2], "plain", "QBSESSION=plain"),
            (3000, 3000, [0], "plain", "QBSESSION=plain"),
        ]
        for size, offset, bodies, cookie, field in cases:
            with self.subTest(size=size, offset=offset):
                self.server.requests.clear()
                self.session(self.url, "tok-1", cookie)
                path = self.random_file("chunked.bin", size)
                r = self.run_q("legacy-upload", path, "--file-id", "F7", "--offset", str(offset))
                self.assertEqual(r.returncode, 0, r.stderr[-2000:])
                self.assertEqual([len(b) for _, _, b in self.server.requests], bodies)
                with open(path, "rb") as f:
                    f.seek(offset)
                    self.assertEqual(b"".join(b for _, _, b in self.server.requests), f.read())
                for target, headers, _ in self.server.requests:
                    self.assertEqual(target,
                                     "/3/file/upload.json?service=uploadPlainFileStream&id=F7")
                    fields = [(k, v) for k, v in headers if k not in ("Host", "Content-Length")]
                    self.assertEqual([k for k, _ in fields], STREAM_HEADERS)
                    self.assertEqual(fields[0][1], field)
                    self.assertEqual(dict(fields)["Authorization"], "OAuth2 tok-1")
                    self.assertEqual(dict(fields)["User-Agent"], "QuillBoxiOS/" + VERSION)
                    self.assertEqual(dict(fields)["Content-Type"], "application/octet-stream")
                progress = [l.split() for l in r.stdout.splitlines() if l.startswith("progress ")]
                if size > offset:
                    self.assertEqual(progress[-1][1:], ["%d/%d" % (size, size), "0.95"])
                    fractions = [float(p[2]) for p in progress[:-1]]
                    self.assertEqual(fractions, sorted(fractions))
                    self.assertGreater(int(progress[0][1].split("/")[0]), offset)
                else:
                    self.assertEqual(progress, [])
                self.assertIn("1.000000", r.stdout.splitlines()[-1])

    def test_refused_chunk_or_unreadable_file_ends_as_failure(self):
        self.session(self.url, "tok", "c")
        path = self.random_file("refused.bin", MiB + 10)
        self.server.replies = [(200, b"<result/>"), (401, b"<errorResult/>")]
        r = self.run_q("legacy-upload", path, "--file-id", "F1")
        self.assertEqual(r.returncode, 1)
        self.assertIn("status 401", r.stderr)
        self.assertEqual(len(self.server.requests), 2)
        self.server.requests.clear()
        r = self.run_q("legacy-upload", path, "--file-id", "F1", "--offset", str(MiB + 11))
        self.assertEqual(r.returncode, 1)
        self.assertIn("创建失败", r.stderr)
        self.assertEqual(self.server.requests, [])

    def test_message_form_sends_two_digit_kinds_and_thumbnails(self):
        self.session(self.url, "tok", "c")
        small = os.urandom(2000) + b"\xfb\xff"  # Base64 with "-" or "_" in the URL-safe alphabet
        middle = os.urandom(5000)
        for folder, data in (("samll", small), ("middle", middle)):
            os.makedirs(os.path.join(self.box.documents, "img", folder))
            with open(os.path.join(self.box.documents, "img", folder, "a_Thumbnail.jpg"), "wb") as f:
                f.write(data)
        reply = (b"<result><type>0</type><message>m</message><id>ID9</id>"
                 b"<isComplete>false</isComplete><realLength>0</realLength></result>")
        for kind, name, thumbs in ((8, "a.b.png", True), (12, "b&c=d.mov", False)):
            with self.subTest(kind=kind):
                self.server.requests.clear()
                self.server.replies = [(200, reply)]
                path = self.random_file(name, 777)
                digest, keyed = self.record(path, kind)
                r = self.run_q("legacy-message", path, "--kind", str(kind))
                self.assertEqual(r.returncode, 0, r.stderr[-2000:])
                self.assertIn('"id":"ID9"', r.stdout)
                target, headers, body = self.server.requests[0]
                self.assertEqual(target, "/3/file/upload.json")
                fields = urllib.parse.parse_qsl(body.decode(), keep_blank_values=True)
                names = ["service", "name", "ftype", "file0Len", "hfile0c", "format", "sha1",
                         "time", "md5"] + (["smallImg", "middleImg"] if thumbs else [])
                self.assertEqual([k for k, _ in fields], names)
                values = dict(fields)
                self.assertEqual((values["service"], values["name"], values["ftype"],
                                  values["file0Len"], values["hfile0c"], values["format"]),
                                 ("uploadPlainFileMessage", name, "%02d" % kind, "777", digest,
                                  "xml"))
                self.assertEqual((values["sha1"], values["md5"], values["time"]),
                                 (keyed, digest, "1700000000000"))
                if thumbs:
                    self.assertEqual(base64.urlsafe_b64decode(values["smallImg"]), small)
                    self.assertEqual(base64.urlsafe_b64decode(values["middleImg"]), middle)
                self.assertEqual(dict(headers)["Authorization"], "OAuth2 current-token")


class ReferenceServiceTest(LegacyCase):
    @classmethod
    def setUpClass(cls):
        try:
            cls.srv = start_devserver(users=[USER])
        except DevServerUnavailable:
            raise unittest.SkipTest("quillbox-devserver not built")

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()

    def env(self):
        return {"QUILLBOX_CA_FILE": self.srv.cert_path}

    def xml(self, kind, reply):
        r = self.run_q("xml", kind, stdin=reply)
        self.assertEqual(r.returncode, 0, reply + r.stderr)
        return json.loads(r.stdout)

    def legacy_login(self):
        status, text = self.srv.call("POST", "file/upload.json", form=[
            ("service", "login"), ("userName", USER[0]),
            ("password", password_digest(USER[1], USER[0])), ("ios_version", VERSION)])
        self.assertEqual(status, 200, text)
        self.assertEqual(self.xml("result", text), {"type": "0", "message": "登录成功"})
        values = {e.tag: e.text for e in ET.fromstring(text.encode())}
        self.session(self.srv.base_url, values["accessToken"], values["cookieValue"],
                     current=self.srv.login(USER[0], USER[1]))
        return values

    def test_message_stream_copy_resume_and_replies(self):
        session = self.legacy_login()
        self.assertIn("=", session["cookieValue"])  # sent in double quotes
        path = self.random_file("ScreenShot_2024-01-02_03.04.05.png", 2 * MiB + 99)
        self.record(path, 8)
        r = self.run_q("legacy-message", path, **self.env())
        self.assertEqual(r.returncode, 0, r.stderr[-2000:])
        created = json.loads(r.stdout)
        self.assertEqual((created["type"], created["realLength"], created["isComplete"]),
                         ("0", "0", "false"))

        # A first part sent by hand, then the message again tells how much is held.
        headers = {"Authorization": "OAuth2 " + session["accessToken"],
                   "Cookie": 'QBSESSION="%s"' % session["cookieValue"]}
        with open(path, "rb") as f:
            head = f.read(MiB + 7)
        status, _, _ = self.srv.raw("POST", "/3/file/upload.json?service=uploadPlainFileStream&id="
                                    + created["id"], body=head, headers=headers)
        self.assertEqual(status, 200)
        r = self.run_q("legacy-message", path, **self.env())
        again = json.loads(r.stdout)
        self.assertEqual((again["id"], again["realLength"]), (created["id"], str(MiB + 7)))

        r = self.run_q("legacy-upload", path, "--file-id", created["id"], "--offset",
                       again["realLength"], **self.env())
        self.assertEqual(r.returncode, 0, r.stderr[-2000:])
        info = self.srv.file_info(created["id"])
        self.assertEqual((info["length"], info["sha1"]), (os.path.getsize(path), sha1sum(path)))

        # The service's own replies through the readers.
        _, _, text = self.srv.raw("POST", "/3/file/upload.json", body="service=initialization",
                                  headers=headers)
        account = self.xml("account", text.decode())
        self.assertEqual(account["phones"][0]["phone"], USER[2])
        self.assertEqual(account["spaceUse"], str(os.path.getsize(path)))
        _, _, text = self.srv.raw("POST", "/3/file/upload.json", body="service=initialization",
                                  headers={"Authorization": headers["Authorization"]})
        self.assertEqual(self.xml("create", text.decode()),
                         {"type": "7", "message": "invalid or missing session cookie"})

    def test_stream_needs_token_and_cookie_of_one_user(self):
        session = self.legacy_login()
        good = {"Authorization": "OAuth2 " + session["accessToken"],
                "Cookie": "QBSESSION=" + session["cookieValue"]}
        for headers, status in (({"Authorization": good["Authorization"]}, 401),
                                ({"Cookie": good["Cookie"]}, 401),
                                (good, 404)):
            with self.subTest(headers=sorted(headers)):
                got, _, body = self.srv.raw(
                    "POST", "/3/file/upload.json?service=uploadPlainFileStream&id=abc123",
                    body=b"x" * 1000, headers=headers)
                self.assertEqual(got, status)
                self.assertIn(b"<errorResult>", body)


if __name__ == "__main__":
    unittest.main()
