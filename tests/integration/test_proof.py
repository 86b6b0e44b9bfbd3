"""Proofs anyone can check: sidecar, Ed25519 signature, RFC 3161 time stamp.

The `openssl` command is the independent peer for the signature and the time
stamps; the authorities are the `openssl ts -reply` command behind a small
server (tsa.py) and the reference service."""

# ctest-labels: threaded (run under ThreadSanitizer by make test-tsan)
import hashlib
import json
import os
import re
import shlex
import shutil
import signal
import stat
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from devserver import start_devserver  # noqa: E402
from sandbox import bin, make_sandbox, read_journal, wait_for  # noqa: E402
from tsa import OpensslTsa, require_openssl  # noqa: E402

USER = "alice"


def sha256_of(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def openssl(*args, cwd=None):
    return subprocess.run(["openssl", *args], cwd=cwd, capture_output=True, text=True)


class ProofCase(unittest.TestCase):
    def setUp(self):
        require_openssl()
        self.box = make_sandbox(user=USER,
                                settings={"screenshotsecond": 1, "screenshotsound": True})
        self.proofs = os.path.join(self.box.library, "Proofs", USER)
        self.addCleanup(self.box.cleanup)

    def document(self, name, data):
        path = os.path.join(self.box.documents, "Audio", name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def quillbox(self, *args, **env):
        return subprocess.run([bin("quillbox"), *args], env=self.box.env(**env),
                              capture_output=True, text=True, timeout=120)

    def verify(self, path, *flags, **env):
        r = self.quillbox("proof", "verify", path, *flags, **env)
        return r.returncode, json.loads(r.stdout)

    def proof(self, name, suffix):
        return os.path.join(self.proofs, name + ".proof." + suffix)

    def assert_signature(self, folder, name):
        r = openssl("pkeyutl", "-verify", "-pubin", "-inkey", os.path.join(folder, "signer.pem"),
                    "-rawin", "-in", os.path.join(folder, name + ".proof.json"),
                    "-sigfile", os.path.join(folder, name + ".proof.sig"))
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

    def assert_stamp(self, data, tsr, root):
        r = openssl("ts", "-verify", "-data", data, "-in", tsr, "-CAfile", root)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("Verification: OK", r.stdout)


class CaptureWithAnotherAuthority(ProofCase):
    """vigild's captures, with `openssl ts -reply` as the authority."""

    def test_capture_never_waits_for_the_authority_and_stamps_arrive_later(self):
        # A proof made while no authority was configured: vigild stamps it on start.
        earlier = self.document("earlier.wav", b"RIFF" + bytes(range(256)) * 8)
        made = self.quillbox("proof", "make", earlier, "--kind", "2")
        self.assertEqual(made.returncode, 0, made.stderr)
        self.assertEqual(json.loads(made.stdout)["timestamp"], "none")

        tsa = OpensslTsa(hold=True)  # accepts requests but answers none: "down"
        self.addCleanup(tsa.stop)
        env = dict(QUILLBOX_TSA_URL=tsa.url, QUILLBOX_TSA_CA_FILE=tsa.root,
                   QUILLBOX_PROMPT="decline")
        log_path = os.path.join(self.box.root, "vigild.log")
        log = open(log_path, "w")
        daemon = subprocess.Popen([bin("vigild")], env=self.box.env(**env),
                                  stdout=subprocess.DEVNULL, stderr=log)

        def daemon_log():
            with open(log_path, encoding="utf-8", errors="replace") as f:
                return f.read()

        def stop():
            daemon.send_signal(signal.SIGTERM)
            daemon.wait(timeout=10)
            log.close()
        self.addCleanup(stop)
        self.assertTrue(wait_for(lambda: tsa.seen() >= 1, timeout=60), "no start-up stamp request")
        self.assertTrue(wait_for(lambda: os.listdir(self.box.notify_dir), timeout=60))
        subprocess.run([bin("quillbox"), "trigger"], env=self.box.env(), check=True, timeout=10)

        # The capture road ends (prompt and thumbnails) while the authority holds the
        # stamper's request: nothing of the capture waits for it.
        alerts = wait_for(lambda: [e for e in read_journal(self.box.ui_journal)
                                   if e["event"] == "alert"], timeout=30)
        self.assertTrue(alerts, daemon_log())
        shot = alerts[0]["subviews"][0]["path"]
        name = os.path.basename(shot)
        thumb = os.path.join(self.box.documents, "img", "middle", name[:-4] + "_Thumbnail.jpg")
        self.assertTrue(wait_for(lambda: os.path.exists(thumb), timeout=60))
        self.assertFalse(os.path.exists(self.proof(name, "tsr")))

        with open(self.proof(name, "json"), encoding="utf-8") as f:
            sidecar = json.load(f)
        with open(shot, "rb") as f:
            width, height = struct.unpack(">II", f.read(24)[16:24])
        self.assertEqual(sidecar["file"], name)
        self.assertEqual(sidecar["path"], "ScreenShot/%s/%s" % (USER, name))
        self.assertEqual(sidecar["size"], os.path.getsize(shot))
        self.assertEqual(sidecar["sha256"], sha256_of(shot))
        with open(shot, "rb") as f:
            self.assertEqual(sidecar["sha1"], hashlib.sha1(f.read()).hexdigest())
        self.assertRegex(sidecar["created"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
        self.assertEqual((sidecar["program"], sidecar["kind"]), ("vigild", 8))
        self.assertEqual((sidecar["width"], sidecar["height"]), (width, height))
        self.assertEqual(os.path.getsize(self.proof(name, "sig")), 64)
        self.assert_signature(self.proofs, name)
        der = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "DER", "-in",
                              os.path.join(self.proofs, "signer.pem")],
                             capture_output=True, check=True).stdout
        self.assertEqual(sidecar["signer"], hashlib.sha256(der).hexdigest())
        key = os.path.join(self.box.home, ".local", "share", "quillbox", "signer.key")
        self.assertEqual(stat.S_IMODE(os.stat(key).st_mode), 0o600)

        # The authority is back: the held requests fail, the retries bring both stamps.
        tsa.release()
        for path in (shot, earlier):
            tsr = self.proof(os.path.basename(path), "tsr")
            self.assertTrue(wait_for(lambda: os.path.exists(tsr), timeout=60), daemon_log())
            self.assert_stamp(path, tsr, tsa.root)
            status, out = self.verify(path, "--require-timestamp", QUILLBOX_TSA_CA_FILE=tsa.root)
            self.assertEqual((status, out["checks"]),
                             (0, {"sha256": "pass", "signature": "pass", "timestamp": "pass"}), out)
        self.assertNotIn("ThreadSanitizer", daemon_log())


class ReplayedReply(ProofCase):
    def test_an_earlier_reply_for_the_same_file_is_refused(self):
        tsa = OpensslTsa()
        self.addCleanup(tsa.stop)
        env = dict(QUILLBOX_TSA_URL=tsa.url, QUILLBOX_TSA_CA_FILE=tsa.root)
        path = self.document("c.wav", b"once")
        made = self.quillbox("proof", "make", path, **env)
        self.assertEqual(made.returncode, 0, made.stdout + made.stderr)
        tsr = self.proof("c.wav", "tsr")
        with open(tsr, "rb") as f:
            tsa.replay = f.read()  # same imprint, but the nonce of the first request
        os.remove(tsr)
        made = self.quillbox("proof", "make", path, **env)
        self.assertEqual(made.returncode, 3, made.stdout + made.stderr)
        self.assertIn("nonce mismatch", json.loads(made.stdout)["stampError"])
        self.assertFalse(os.path.exists(tsr))


class ReferenceServiceAuthority(ProofCase):
    """quillbox proof with the reference service as the authority."""

    @classmethod
    def setUpClass(cls):
        cls.server = start_devserver()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def tsa_env(self, root=None):
        return dict(QUILLBOX_TSA_URL=self.server.tsa_url, QUILLBOX_CA_FILE=self.server.cert_path,
                    QUILLBOX_TSA_CA_FILE=root or self.server.tsa_root)

    def test_make_export_and_what_tampering_breaks(self):
        path = self.document("call 1.m4a", os.urandom(50000))
        made = self.quillbox("proof", "make", path, "--kind", "2", **self.tsa_env())
        self.assertEqual(made.returncode, 0, made.stderr)
        name = os.path.basename(path)
        self.assert_signature(self.proofs, name)
        self.assert_stamp(path, self.proof(name, "tsr"), self.server.tsa_root)

        exported = os.path.join(self.box.root, "export")
        r = self.quillbox("proof", "export", path, exported, **self.tsa_env())
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(sorted(os.listdir(exported)), sorted(
            [name, name + ".proof.json", name + ".proof.sig", name + ".proof.tsr", "signer.pem",
             "tsa-root.pem", "VERIFY.txt"]))
        # The commands of VERIFY.txt, run as written, in the exported folder.
        with open(os.path.join(exported, "VERIFY.txt"), encoding="utf-8") as f:
            commands = [line.strip() for line in f if line.strip().startswith("openssl ")]
        self.assertEqual(len(commands), 3)
        for command in commands:
            r = subprocess.run(shlex.split(command), cwd=exported, capture_output=True, text=True)
            self.assertEqual(r.returncode, 0, command + "\n" + r.stdout + r.stderr)
        self.assertIn(sha256_of(path), subprocess.run(shlex.split(commands[1]), cwd=exported,
                                                      capture_output=True, text=True).stdout)

        def change_byte(folder):
            with open(os.path.join(folder, name), "r+b") as f:
                f.seek(1234)
                b = f.read(1)
                f.seek(1234)
                f.write(bytes([b[0] ^ 1]))

        def change_sidecar(folder):
            p = os.path.join(folder, name + ".proof.json")
            with open(p, encoding="utf-8") as f:
                text = f.read()
            with open(p, "w", encoding="utf-8") as f:
                f.write(text.replace('"kind": 2', '"kind": 9'))

        def drop_stamp(folder):
            os.remove(os.path.join(folder, name + ".proof.tsr"))

        for label, change, failed in [("untouched", None, None),
                                      ("one byte of the evidence", change_byte, "sha256"),
                                      ("the sidecar", change_sidecar, "signature"),
                                      ("no time stamp, one required", drop_stamp, "timestamp")]:
            with self.subTest(label):
                copy = os.path.join(self.box.root, "copy")
                shutil.rmtree(copy, ignore_errors=True)
                shutil.copytree(exported, copy)
                if change:
                    change(copy)
                status, out = self.verify(os.path.join(copy, name), "--require-timestamp",
                                          QUILLBOX_TSA_CA_FILE=self.server.tsa_root)
                self.assertEqual(status, 0 if failed is None else 1, out)
                self.assertEqual(out.get("failed"), None if failed is None else [failed], out)

    def test_stamp_of_another_root_is_refused(self):
        other = OpensslTsa()
        self.addCleanup(other.stop)
        path = self.document("b.wav", b"sound")
        made = self.quillbox("proof", "make", path, **self.tsa_env(root=other.root))
        self.assertEqual(made.returncode, 3, made.stdout + made.stderr)
        self.assertEqual(json.loads(made.stdout)["timestamp"], "pending")
        self.assertFalse(os.path.exists(self.proof("b.wav", "tsr")))
        # Asked again with the right root, the proof stays and gets its stamp.
        made = self.quillbox("proof", "make", path, **self.tsa_env())
        self.assertEqual(made.returncode, 0, made.stderr)
        self.assert_stamp(path, self.proof("b.wav", "tsr"), self.server.tsa_root)


if __name__ == "__main__":
    unittest.main()
