"""quillbox update-check and quillbox decipher against the reference service.

The service enciphers its announcement with OpenSSL; the openssl command
deciphers the same reply as the independent peer.
"""

# ctest-labels: threaded (run under ThreadSanitizer by make test-tsan)
import hashlib
import os
import plistlib
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from devserver import DevServerUnavailable, start_devserver  # noqa: E402
from sandbox import bin  # noqa: E402

CHECK_PATH = "/pages/check/updateini.aspx"
# Hex of the 32 ASCII characters of the upper-case MD5 of "Keep going,Stay brave!".
KEY_HEX = hashlib.md5(b"Keep going,Stay brave!").hexdigest().upper().encode().hex()


class UpdateCheckTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.quillbox = bin("quillbox")
        try:
            cls.srv = start_devserver(http=True)
        except DevServerUnavailable as e:
            if os.environ.get("CI") == "true":
                raise
            sys.stderr.write("skipped: %s\n" % e)
            sys.exit(77)
        cls.bundle = tempfile.mkdtemp(prefix="qb-weeapp-")

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()
        shutil.rmtree(cls.bundle, ignore_errors=True)

    def check(self, installed="1.0.2", url=None):
        info = {"CFBundleShortVersionString": installed} if installed is not None else {}
        with open(os.path.join(self.bundle, "Info.plist"), "wb") as f:
            plistlib.dump(info, f)
        env = dict(os.environ, QUILLBOX_WEEAPP_BUNDLE=self.bundle, QUILLBOX_SYSTEM_VERSION="6.1.3",
                   QUILLBOX_UPDATE_URL=url or "http://127.0.0.1:%d%s" % (self.srv.port, CHECK_PATH))
        self.srv.clear_requests()
        return subprocess.run([self.quillbox, "update-check"], env=env, capture_output=True,
                              text=True, timeout=60)

    def test_announcement_query_and_refusal(self):
        cases = [  # announced version, installed version, expected exit status
            (None, "1.0.2", 1),
            ("1.0.3", "1.0.2", 0),
            ("1.0.10", "1.0.9", 0),
            ("1.0.2", "1.0.2", 1),  # the server decides: nothing newer
            ("1.0.3", None, 0),     # no CFBundleShortVersionString: sent as empty
        ]
        for announced, installed, status in cases:
            with self.subTest(announced=announced, installed=installed):
                if announced:
                    self.srv.admin("POST", "update", json={"version": announced,
                                                           "url": "http://h/q.deb"})
                else:
                    self.srv.admin("DELETE", "update")
                run = self.check(installed)
                self.assertEqual(run.returncode, status, run.stdout + run.stderr)
                if status == 0:
                    self.assertIn("version: %s\nurl: http://h/q.deb\n" % announced, run.stdout)
                else:
                    self.assertIn("no update announced", run.stdout)
                checks = [r for r in self.srv.requests() if r["path"] == CHECK_PATH]
                self.assertEqual(len(checks), 1)
                self.assertEqual(checks[0]["query"],
                                 "licensekey=com.velmor.quillbox.server&orgKey=&version=%s"
                                 "&ip=&osversion=iOS6.1.3" % (installed or ""))

    def test_unreachable_server_is_no_announcement(self):
        with socket.socket() as s:  # a loopback port that nothing listens on
            s.bind(("127.0.0.1", 0))
            run = self.check(url="http://127.0.0.1:%d%s" % (s.getsockname()[1], CHECK_PATH))
        self.assertEqual(run.returncode, 1)
        self.assertIn("no update announced", run.stdout)

    def test_reply_deciphers_alike_with_openssl_and_quillbox(self):
        self.srv.admin("POST", "update", json={"version": "2.0", "url": "cydia://package/x"})
        status, _, body = self.srv.raw("GET", CHECK_PATH + "?version=1.0")
        self.assertEqual(status, 200)
        expected = b"Version0=2.0\r\nUpdateURL0=cydia://package/x\r\n"
        peer = subprocess.run(["openssl", "enc", "-d", "-aes-256-cbc", "-base64", "-A",
                               "-K", KEY_HEX, "-iv", "0" * 32], input=body, capture_output=True)
        self.assertEqual(peer.stdout, expected, peer.stderr)
        ours = subprocess.run([self.quillbox, "decipher"], input=body + b"\n",
                              capture_output=True)
        self.assertEqual((ours.returncode, ours.stdout), (0, expected), ours.stderr)
        wrong = subprocess.run([self.quillbox, "decipher", "--key", "other"], input=body,
                               capture_output=True)
        self.assertNotEqual(wrong.stdout, expected)


if __name__ == "__main__":
    unittest.main()
