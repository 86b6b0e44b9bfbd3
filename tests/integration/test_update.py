"""quillbox update-check and quillbox decipher against the reference service.

The service enciphers its announcement with OpenSSL; the openssl command
deciphers the same reply as the independent peer. The README's own commands
(its "Running it by hand") find the announcement of a service over HTTPS, and
say "unreachable" once it stopped.
"""

# ctest-labels: threaded (run under ThreadSanitizer by make test-tsan)
import hashlib
import os
import plistlib
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from devserver import DevServerUnavailable, start_devserver  # noqa: E402
from sandbox import bin, make_sandbox  # noqa: E402

CHECK_PATH = "/pages/check/updateini.aspx"
README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")
# Exit statuses of quillbox update-check.
ANNOUNCED, NO_UPDATE, UNREACHABLE, REFUSED, NOT_ENCIPHERED = range(5)
# Hex of the 32 ASCII characters of the upper-case MD5 of "Keep going,Stay brave!".
KEY_HEX = hashlib.md5(b"Keep going,Stay brave!").hexdigest().upper().encode().hex()


def readme_command(program, *subcommand):
    """The arguments after `program` (and `subcommand`) in the README's "Running it by hand"."""
    with open(README, encoding="utf-8") as f:
        section = f.read().split("## Running it by hand", 1)[1].split("\n## ", 1)[0]
    for line in section.splitlines():
        if not line.startswith("    "):
            continue
        try:
            words = shlex.split(line.split("#", 1)[0].replace("&", " "))
        except ValueError:  # a line continued on the next one: not a command of ours
            continue
        for i, word in enumerate(words):
            rest = words[i + 1:]
            if word.endswith("/" + program) and rest[:len(subcommand)] == list(subcommand):
                return rest[len(subcommand):]
    raise AssertionError("README's Running it by hand runs no %s %s" % (program, subcommand))


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
            (None, "1.0.2", NO_UPDATE),
            ("1.0.3", "1.0.2", ANNOUNCED),
            ("1.0.10", "1.0.9", ANNOUNCED),
            ("1.0.2", "1.0.2", NO_UPDATE),  # the server decides: nothing newer
            ("1.0.3", None, ANNOUNCED),     # no CFBundleShortVersionString: sent as empty
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

    def test_each_failure_says_what_happened(self):
        self.srv.admin("DELETE", "update")
        with socket.socket() as s:  # a loopback port that nothing listens on
            s.bind(("127.0.0.1", 0))
            nobody = "http://127.0.0.1:%d%s" % (s.getsockname()[1], CHECK_PATH)
        cases = [  # what, canned reply of the check (None: the service's own), URL, status, text
            ("nobody listens", None, nobody, UNREACHABLE, "unreachable ("),
            ("not found", (404, "no such page"), None, REFUSED, "refused (404)"),
            ("server error", (500, ""), None, REFUSED, "refused (500)"),
            ("plain text", (200, "Version0=1.0.3\r\n"), None, NOT_ENCIPHERED,
             "not enciphered as expected (not base64)"),
            ("not whole blocks", (200, "QUJDREVGR0hJSktMTU5PUFE="), None, NOT_ENCIPHERED,
             "not enciphered as expected (not a multiple of 16 bytes)"),
            ("nothing announced", None, None, NO_UPDATE, "no update announced"),
        ]
        for what, reply, url, status, text in cases:
            with self.subTest(what):
                if reply:
                    self.srv.admin("POST", "replies", json={
                        "method": "GET", "path": CHECK_PATH, "status": reply[0], "body": reply[1],
                        "contentType": "text/plain"})
                run = self.check(url=url)
                self.srv.admin("DELETE", "replies")
                self.assertEqual(run.returncode, status, run.stdout + run.stderr)
                self.assertIn("\n" + text, run.stdout)
                # The same words in the log line of the check.
                self.assertIn(": " + text, run.stderr)

    def test_readme_commands_find_the_announcement(self):
        # The README's service: HTTPS, announcing a version; only its port is left to chance.
        args = readme_command("quillbox-devserver")
        for own in ("--port", "--data"):  # the test's own port and folder
            if own in args:
                del args[args.index(own):args.index(own) + 2]
        srv = start_devserver(extra_args=args)
        self.addCleanup(srv.stop)
        box = make_sandbox(user="alice")
        self.addCleanup(box.cleanup)
        box.write_plist("com.velmor.loacal.plist", {"url": srv.base_url})
        env = box.env(QUILLBOX_CA_FILE=srv.cert_path)
        env.pop("QUILLBOX_UPDATE_URL", None)
        check = [self.quillbox, "update-check"] + readme_command("quillbox", "update-check")
        run = subprocess.run(check, env=env, capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, ANNOUNCED, run.stdout + run.stderr)
        self.assertIn("server: https://127.0.0.1:%d%s\n" % (srv.port, CHECK_PATH), run.stdout)
        self.assertIn("version: 9.9.9\nurl: cydia://package/com.velmor.quillbox.server\n",
                      run.stdout)
        srv.stop()
        run = subprocess.run(check, env=env, capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, UNREACHABLE, run.stdout + run.stderr)
        self.assertIn("\nunreachable (", run.stdout)

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
        self.assertEqual(wrong.returncode, 1)
        self.assertIn(b"does not decipher (bad padding)", wrong.stderr)

    def test_empty_announcement_deciphers_to_empty_text(self):
        self.srv.admin("DELETE", "update")
        status, _, body = self.srv.raw("GET", CHECK_PATH + "?version=1.0")
        self.assertEqual(status, 200)
        peer = subprocess.run(["openssl", "enc", "-d", "-aes-256-cbc", "-base64", "-A",
                               "-K", KEY_HEX, "-iv", "0" * 32], input=body, capture_output=True)
        self.assertEqual((peer.returncode, peer.stdout), (0, b""), peer.stderr)
        ours = subprocess.run([self.quillbox, "decipher"], input=body, capture_output=True)
        self.assertEqual((ours.returncode, ours.stdout), (0, b""), ours.stderr)
        self.assertIn(b"the plaintext is empty", ours.stderr)


if __name__ == "__main__":
    unittest.main()
