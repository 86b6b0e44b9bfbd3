"""Content credentials in every capture, read by the C2PA project's own reader:
c2pa-rs compiled to WebAssembly (npm @contentauth/c2pa-wasm), run in Node by
tests/browser/c2pa_read.mjs and on a viewer page (tests/browser/c2pa_viewer.html)
in Debian's Chromium. ImageMagick decodes the pixels. Without Node.js,
tests/browser/node_modules, Chromium or ImageMagick the file is skipped (exit 77),
and fails under CI=true.

QUILLBOX_C2PA_SCREENSHOT=PATH keeps the viewer page's screenshot (the README's picture)."""

import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from sandbox import bin, make_sandbox, read_journal, stored_files, wait_for  # noqa: E402
from tsa import OpensslTsa  # noqa: E402
from weeapphost import prepare_container, start_host  # noqa: E402

BROWSER_TESTS = os.path.join(HERE, "..", "browser")
READER = os.path.join(BROWSER_TESTS, "c2pa_read.mjs")
CONVERT = "/usr/bin/convert"
CHROMIUM = "/usr/bin/chromium"
USER = "alice"
SCREEN_CAPTURE = "http://cv.iptc.org/newscodes/digitalsourcetype/screenCapture"


def missing_prerequisites():
    missing = []
    if not shutil.which("node"):
        missing.append("node")
    if not os.path.isdir(os.path.join(BROWSER_TESTS, "node_modules", "@contentauth", "c2pa-wasm")):
        missing.append("tests/browser/node_modules (make deps runs npm ci)")
    if not os.access(CHROMIUM, os.X_OK):
        missing.append(CHROMIUM + " (Debian package chromium)")
    if not os.access(CONVERT, os.X_OK):
        missing.append(CONVERT + " (Debian package imagemagick)")
    return missing


def c2pa_read(*files, trust=()):
    args = ["node", READER]
    for pem in trust:
        args += ["--trust", pem]
    r = subprocess.run(args + list(files), capture_output=True, text=True, timeout=120)
    if r.returncode != 0:
        raise AssertionError(r.stdout + r.stderr)
    return [json.loads(line) for line in r.stdout.splitlines()]


def chunks(data):
    """(type, offset, data length) of each PNG chunk."""
    out, at = [], 8
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        out.append((kind.decode("latin-1"), at, length))
        at += 12 + length
    return out


def changed(data, kind, find=b""):
    """`data` with one byte of the first `kind` chunk changed (after `find`), its CRC made good."""
    _, at, length = next(c for c in chunks(data) if c[0] == kind)
    body = bytearray(data[at + 8:at + 8 + length])
    i = body.find(find) + len(find) + 2 if find else length // 2
    body[i] ^= 0x01
    crc = struct.pack(">I", zlib.crc32(kind.encode() + bytes(body)))
    return data[:at + 8] + bytes(body) + crc + data[at + 12 + length:]


def without_manifest(data):
    _, at, length = next(c for c in chunks(data) if c[0] == "caBX")
    return data[:at] + data[at + 12 + length:]


def rgba(data):
    r = subprocess.run([CONVERT, "png:-", "rgba:-"], input=data, capture_output=True, timeout=60)
    if r.returncode != 0:
        raise AssertionError(r.stderr.decode(errors="replace"))
    return r.stdout


def capture_with_vigild(box, **env):
    """One capture by vigild; (the file's bytes, the daemon's log)."""
    log_path = os.path.join(box.root, "vigild-%d.log" % len(os.listdir(box.root)))
    with open(log_path, "w") as log:
        daemon = subprocess.Popen([bin("vigild")], env=box.env(QUILLBOX_PROMPT="decline", **env),
                                  stdout=subprocess.DEVNULL, stderr=log)

    def daemon_log():
        with open(log_path, encoding="utf-8", errors="replace") as f:
            return f.read()
    try:
        before = len([e for e in read_journal(box.ui_journal) if e["event"] == "alert"])
        # Its own observer socket (an earlier daemon's may still lie there).
        mine = "~%d-" % daemon.pid
        assert wait_for(lambda: [n for n in os.listdir(box.notify_dir) if mine in n],
                        timeout=10), "vigild is not observing: " + daemon_log()
        subprocess.run([bin("quillbox"), "trigger"], env=box.env(), check=True, timeout=10)
        alerts = wait_for(lambda: [e for e in read_journal(box.ui_journal)
                                   if e["event"] == "alert"][before:], timeout=30)
        assert alerts, daemon_log()
        with open(alerts[0]["subviews"][0]["path"], "rb") as f:
            return f.read(), daemon_log()
    finally:
        daemon.send_signal(signal.SIGTERM)
        daemon.wait(timeout=10)


def capture_with_widget(box):
    prepare_container(box, None, USER)
    host = start_host(box)
    try:
        folder = os.path.join(box.documents, "ScreenShot", USER)
        before = set(stored_files(folder))
        assert host.post("/api/click", {"view": host.buttons()["截屏存证"]})[0] == 204
        new = wait_for(lambda: set(stored_files(folder)) - before,
                       timeout=30)
        assert new, host.log()
        path = os.path.join(folder, sorted(new)[0])
        assert wait_for(lambda: "截屏已保存" in host.log(), timeout=10)
        with open(path, "rb") as f:
            return f.read(), path
    finally:
        host.stop()


class Captures(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.box = make_sandbox(user=USER, settings={"screenshotsecond": 1,
                                                    "screenshotsound": True})
        cls.tsa = OpensslTsa()
        cls.tmp = tempfile.mkdtemp(prefix="qb-c2pa-")
        vigild, _ = capture_with_vigild(cls.box, QUILLBOX_TSA_URL=cls.tsa.url,
                                        QUILLBOX_TSA_CA_FILE=cls.tsa.root)
        widget, cls.widget_path = capture_with_widget(cls.box)
        # The daemon's identity lives in its home; the widget host's home is the container.
        cls.shots = {
            "vigild": (vigild, os.path.join(cls.box.home, ".local/share/quillbox/c2pa-root.pem")),
            "widget": (widget,
                       os.path.join(cls.box.container, ".local/share/quillbox/c2pa-root.pem")),
        }

    @classmethod
    def tearDownClass(cls):
        cls.tsa.stop()
        cls.box.cleanup()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def file(self, name, data):
        path = os.path.join(self.tmp, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def verify(self, path, **env):
        r = subprocess.run([bin("quillbox"), "proof", "verify", path],
                           env=self.box.env(**env), capture_output=True, text=True, timeout=60)
        return r.returncode, json.loads(r.stdout)

    def test_each_capture_has_credentials_the_c2pa_reader_accepts(self):
        for program, (data, root) in self.shots.items():
            with self.subTest(program):
                path = self.file(program + ".png", data)
                kinds = [c[0] for c in chunks(data)]
                self.assertLess(kinds.index("caBX"), kinds.index("IDAT"))
                seen = c2pa_read(path)[0]
                self.assertTrue(seen["activeManifest"], seen)
                action = seen["actions"][0]
                self.assertEqual((action["action"], action["digitalSourceType"]),
                                 ("c2pa.created", SCREEN_CAPTURE))
                self.assertRegex(action["when"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
                self.assertTrue(action["softwareAgent"]["name"].startswith("quillbox "))
                self.assertEqual(seen["claimGenerator"][0]["name"], "quillbox")
                self.assertEqual(seen["failure"], ["signingCredential.untrusted"])
                self.assertIn("assertion.dataHash.match", seen["success"])
                trusted = c2pa_read(path, trust=[root])[0]
                self.assertEqual((trusted["state"], trusted["failure"]), ("Trusted", []), trusted)
        # vigild's authority answered at once: its stamp is over the signature.
        stamped = c2pa_read(self.file("vigild.png", self.shots["vigild"][0]))[0]
        self.assertIn("timeStamp.validated", stamped["success"])
        self.assertTrue(stamped["signer"]["time"])

        # Our own check says the same, and the export carries the root to trust.
        status, out = self.verify(self.widget_path, QUILLBOX_HOME=self.box.container)
        self.assertEqual(status, 0, out)
        c2pa = out["c2pa"]
        self.assertEqual((c2pa["valid"], c2pa["trusted"], c2pa["changed"], c2pa["action"],
                          c2pa["digitalSourceType"]),
                         (True, True, [], "c2pa.created", SCREEN_CAPTURE), c2pa)
        self.assertIn("CN = quillbox capture signer", c2pa["signer"])
        export = os.path.join(self.tmp, "export")
        r = subprocess.run([bin("quillbox"), "proof", "export", self.widget_path, export],
                           env=self.box.env(QUILLBOX_HOME=self.box.container),
                           capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("c2pa-root.pem", json.loads(r.stdout)["files"])
        exported = os.path.join(export, os.path.basename(self.widget_path))
        seen = c2pa_read(exported, trust=[os.path.join(export, "c2pa-root.pem")])[0]
        self.assertEqual(seen["state"], "Trusted", seen)

    def test_a_changed_byte_is_reported(self):
        data, root = self.shots["widget"]
        cases = [
            # (what changed, the file, the reader's code, what our check names)
            ("one byte of the image data", changed(data, "IDAT"),
             "assertion.dataHash.mismatch", "the image data"),
            ("one byte of the claim in the manifest chunk", changed(data, "caBX", b"dc:title"),
             "claimSignature.mismatch", "the claim or its signature"),
        ]
        for what, bytes_, code, named in cases:
            with self.subTest(what):
                path = self.file("changed.png", bytes_)
                seen = c2pa_read(path, trust=[root])[0]
                self.assertIn(code, seen["failure"], seen)
                status, out = self.verify(path)
                self.assertEqual((status, out["c2pa"]["valid"]), (1, False), out)
                self.assertIn(code, out["c2pa"]["failures"])
                self.assertIn(named, out["c2pa"]["changed"])

    def test_a_viewer_page_shows_the_credentials(self):
        data, root = self.shots["vigild"]
        shot = os.environ.get("QUILLBOX_C2PA_SCREENSHOT") or os.path.join(self.tmp, "viewer.png")
        r = subprocess.run(["node", "c2pa_viewer.mjs", self.file("capture.png", data), shot, root],
                           cwd=BROWSER_TESTS, capture_output=True, text=True, timeout=180)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        seen = json.loads(r.stdout.strip().splitlines()[-1])
        self.assertEqual((seen["state"], seen["failures"]), ("Trusted", []), seen)
        self.assertIn("Screen capture", seen["process"])
        self.assertIn("quillbox vigild", seen["process"])
        self.assertTrue(os.path.getsize(shot) > 0)

    def test_the_pixels_are_the_encoders(self):
        for program, (data, _) in self.shots.items():
            with self.subTest(program):
                plain = without_manifest(data)
                self.assertEqual(c2pa_read(self.file("plain.png", plain))[0]["error"],
                                 "C2pa(JumbfNotFound)")
                self.assertEqual(rgba(data), rgba(plain))
                width, height = struct.unpack(">II", data[16:24])
                self.assertEqual(len(rgba(data)), width * height * 4)


class Settings(unittest.TestCase):
    def setUp(self):
        self.box = make_sandbox(user=USER, settings={"screenshotsecond": 1,
                                                     "screenshotsound": True})
        self.addCleanup(self.box.cleanup)

    def test_an_authority_that_doesnt_answer_and_credentials_switched_off(self):
        tsa = OpensslTsa(hold=True)  # takes requests, answers none
        self.addCleanup(tsa.stop)
        data, log = capture_with_vigild(self.box, QUILLBOX_TSA_URL=tsa.url,
                                        QUILLBOX_TSA_CA_FILE=tsa.root)
        self.assertIn("时间戳服务未在 1 秒内应答", log)
        path = os.path.join(self.box.root, "unstamped.png")
        with open(path, "wb") as f:
            f.write(data)
        seen = c2pa_read(path)[0]
        self.assertEqual(seen["failure"], ["signingCredential.untrusted"], seen)
        self.assertFalse([c for c in seen["success"] + seen["informational"]
                          if c.startswith("timeStamp")])

        data, _ = capture_with_vigild(self.box, QUILLBOX_C2PA="0")
        with open(path, "wb") as f:
            f.write(data)
        self.assertNotIn("caBX", [c[0] for c in chunks(data)])
        self.assertEqual(c2pa_read(path)[0]["error"], "C2pa(JumbfNotFound)")


if __name__ == "__main__":
    missing = missing_prerequisites()
    if missing:
        if os.environ.get("CI", "").strip().lower() in ("true", "1", "yes"):
            raise SystemExit("missing: " + ", ".join(missing))
        print("skipped: missing " + ", ".join(missing))
        sys.exit(77)
    unittest.main()
