"""quillbox-weeapp-host without a browser: who may use the page, what the buttons
hand to the URL opener, how showings are counted and checked for updates, the
token kept for a fixed port, and the proof of a capture (checked by the openssl
command and sha256sum)."""

# ctest-labels: threaded (run under ThreadSanitizer by make test-tsan)
import json
import os
import socket
import stat
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from devserver import start_devserver  # noqa: E402
from sandbox import make_sandbox, read_journal, stored_files, wait_for  # noqa: E402
from tsa import OpensslTsa, require_openssl  # noqa: E402
from weeapphost import prepare_container, start_host  # noqa: E402


class WidgetHost(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.box = make_sandbox(user="alice")
        prepare_container(cls.box, None, "alice")
        cls.host = start_host(cls.box)

    @classmethod
    def tearDownClass(cls):
        cls.host.stop()
        cls.box.cleanup()

    def test_only_this_page_may_ask(self):
        h = self.host
        self_origin = {"Origin": "http://127.0.0.1:%d" % h.port}
        cases = [
            # (what, method, path, headers, token, expected status)
            ("page with the token in the address", "GET", "/?token=" + h.token, {}, False, 303),
            ("page with the cookie", "GET", "/", {}, True, 200),
            ("page without token", "GET", "/", {}, False, 403),
            ("page with a wrong token", "GET", "/?token=" + "0" * 32, {}, False, 403),
            ("script without token", "GET", "/page.js", {}, False, 403),
            ("picture without token", "GET", "/file/1", {}, False, 403),
            ("event stream without token", "GET", "/events", {}, False, 403),
            ("tap without token", "POST", "/api/appear", {}, False, 403),
            ("rebound name", "GET", "/", {"Host": "evil.example:%d" % h.port}, True, 403),
            ("rebound name, tap", "POST", "/api/appear", {"Host": "evil.example"}, True, 403),
            ("localhost by another name", "GET", "/", {"Host": "localhost:%d" % h.port}, True, 403),
            ("another port", "GET", "/", {"Host": "127.0.0.1:1"}, True, 403),
            ("foreign origin", "POST", "/api/appear", {"Origin": "http://evil.example"}, True, 403),
            ("null origin", "POST", "/api/appear", {"Origin": "null"}, True, 403),
            ("cross-site fetch", "POST", "/api/appear", {"Sec-Fetch-Site": "cross-site"}, True, 403),
            ("this page's origin", "POST", "/api/appear", self_origin, True, 204),
            ("an unknown view", "POST", "/api/click", self_origin, True, 400),
            ("picture not published", "GET", "/file/999", {}, True, 404),
            ("the icon, token or not", "GET", "/favicon.ico", {}, False, 200),
            ("the icon under another name", "GET", "/favicon.ico", {"Host": "evil.example"},
             False, 403),
            ("whether the token holds", "GET", "/api/ping", {}, True, 204),
            ("whether the token holds, without", "GET", "/api/ping", {}, False, 403),
        ]
        for what, method, path, headers, token, expected in cases:
            with self.subTest(what):
                body = {} if method == "POST" else None
                status, reply = h.request(method, path, body=body, headers=headers, token=token)
                self.assertEqual(status, expected)
                # A refusal says why.
                if status == 403:
                    self.assertTrue(reply.startswith(b"refused: "), reply)
        self.assertIn("refused POST /api/appear (foreign Origin)", h.log())

    def test_buttons_open_the_client_urls(self):
        buttons = self.host.buttons()
        self.assertEqual(sorted(buttons), sorted(["截屏存证", "拍照存证", "录像存证", "录音存证"]))
        for title in ("拍照存证", "录像存证", "录音存证"):
            status, _ = self.host.post("/api/click", {"view": buttons[title]})
            self.assertEqual(status, 204)
        urls = ["quillbox://saveEvidence/photo", "quillbox://saveEvidence/video",
                "quillbox://saveEvidence/audio"]
        # Each URL goes to an opener of its own, so they may record in any order.
        self.assertTrue(wait_for(lambda: sorted(self.host.opened()) == sorted(urls), timeout=60),
                        self.host.opened())
        journal = [e["url"] for e in read_journal(self.box.ui_journal) if e["event"] == "openURL"]
        self.assertEqual(journal, urls)


class KeptToken(unittest.TestCase):
    """A fixed port keeps its token in an owner-only file; a doubtful file is not used."""

    def test_token_file_of_a_fixed_port(self):
        box = make_sandbox(user="alice")
        self.addCleanup(box.cleanup)
        prepare_container(box, None, "alice")
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        path = os.path.join(box.container, ".local", "share", "quillbox",
                            "weeapp-host-%d.token" % port)
        kept = "0123456789abcdef" * 2
        cases = [  # what, file text, its mode, whether the host takes it, its log line
            ("owner-only", kept + "\n", 0o600, True, None),
            ("readable by others", kept + "\n", 0o644, False,
             "may be read or written by other users (mode 644)"),
            ("writable by the group", kept + "\n", 0o620, False, "(mode 620)"),
            ("no token in it", "not a token\n", 0o600, False, "holds no token"),
        ]
        for what, text, mode, taken, line in cases:
            with self.subTest(what):
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "w") as f:
                    f.write(text)
                os.chmod(path, mode)
                host = start_host(box, args=("--port", str(port)))
                host.stop()
                self.assertEqual(host.token == kept, taken)
                if line:
                    self.assertIn(line, host.log())
                # Whatever was there, the file now holds the host's token, for its owner only.
                with open(path) as f:
                    self.assertEqual(f.read(), host.token + "\n")
                self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600)


class CaptureProof(unittest.TestCase):
    """The widget's capture gets its proof and, from another authority, its time stamp."""

    def test_capture_is_signed_and_stamped(self):
        require_openssl()
        tsa = OpensslTsa()
        self.addCleanup(tsa.stop)
        box = make_sandbox(user="alice", settings={"screenshotsecond": 1})
        self.addCleanup(box.cleanup)
        prepare_container(box, None, "alice")
        host = start_host(box, QUILLBOX_TSA_URL=tsa.url, QUILLBOX_TSA_CA_FILE=tsa.root)
        self.addCleanup(host.stop)
        self.assertEqual(host.post("/api/click", {"view": host.buttons()["截屏存证"]})[0], 204)
        folder = os.path.join(box.documents, "ScreenShot", "alice")
        shots = wait_for(lambda: stored_files(folder), timeout=30)
        self.assertTrue(shots, host.log())
        shot = os.path.join(folder, shots[0])
        proof = os.path.join(box.library, "Proofs", "alice", shots[0] + ".proof.")
        self.assertTrue(wait_for(lambda: os.path.exists(proof + "tsr"), timeout=30), host.log())

        def openssl(*args):
            r = subprocess.run(["openssl", *args], capture_output=True, text=True)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        openssl("pkeyutl", "-verify", "-pubin", "-rawin", "-inkey",
                os.path.join(box.library, "Proofs", "alice", "signer.pem"),
                "-in", proof + "json", "-sigfile", proof + "sig")
        openssl("ts", "-verify", "-data", shot, "-in", proof + "tsr", "-CAfile", tsa.root)
        with open(proof + "json", encoding="utf-8") as f:
            sidecar = json.load(f)
        with open(shot, "rb") as f:
            size = list(struct.unpack(">II", f.read(24)[16:24]))
        digest = subprocess.run(["sha256sum", shot], capture_output=True, text=True, check=True)
        self.assertEqual([sidecar["sha256"], [sidecar["width"], sidecar["height"]],
                          sidecar["program"], sidecar["path"]],
                         [digest.stdout.split()[0], size, "quillbox-weeapp-host",
                          "ScreenShot/alice/" + shots[0]])


class Showings(unittest.TestCase):
    """Every showing with a known container counts; the count 0 checks for an update."""

    def setUp(self):
        self.server = start_devserver(http=True)
        self.addCleanup(self.server.stop)
        self.server.admin("POST", "update", json={"version": "9.9.9"})
        self.box = make_sandbox(user="alice")
        self.addCleanup(self.box.cleanup)
        prepare_container(self.box, None, "alice")
        url = "http://127.0.0.1:%d/pages/check/updateini.aspx" % self.server.port
        self.host = start_host(self.box, QUILLBOX_UPDATE_URL=url)
        self.addCleanup(self.host.stop)

    def counter(self):
        info = self.box.read_plist(os.path.join(self.box.library, "Plugin", "PluginInfo.plist"))
        return None if info is None else info["update"]

    def checks(self):
        return [r for r in self.server.requests() if r["path"] == "/pages/check/updateini.aspx"]

    def show(self):
        self.assertEqual(self.host.post("/api/appear")[0], 204)
        return self.counter()

    def test_first_counted_showing_checks_then_every_hundredth(self):
        # Showings before the locator found the container are neither counted nor checked.
        for _ in range(20):
            if self.show() is not None:
                break
        self.assertEqual(self.counter(), 1)
        self.assertEqual(len(wait_for(lambda: self.checks(), timeout=60)), 1)
        self.assertEqual([self.show() for _ in range(99)], list(range(2, 100)) + [0])
        self.assertEqual(self.show(), 1)  # the hundredth after the first checks again
        wait_for(lambda: len(self.checks()) >= 2, timeout=60)
        self.assertEqual(len(self.checks()), 2)
        prompts = wait_for(lambda: [e for e in read_journal(self.box.ui_journal)
                                    if e["event"] == "alert" and e["tag"] == 2][1:], timeout=60)
        self.assertEqual(prompts[0]["message"], "Sorelle(server)检测到新版本，是否更新？")
        self.assertEqual(prompts[0]["buttons"], ["暂不更新", "更新"])
        self.assertEqual(self.box.read_plist(os.path.join(
            self.box.library, "Plugin", "PluginInfo.plist"))["version"], "1.0.1")


if __name__ == "__main__":
    unittest.main()
