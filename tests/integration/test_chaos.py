#!/usr/bin/env python3
"""Chaos against the reference service: a bounded run in which about a third of
the service's answers are faults (500 and 502 replies, JSON and XML bodies
that don't parse, upload connections cut mid-body, and replies delayed beyond
the client's 30-second time-outs), drawn from a seeded generator.

Uploads are retried the way a user would (each `quillbox upload` resumes
where the service stopped); registrations and the automatic login retry by
themselves. In the end every upload is byte-identical at the service
(checked with sha1sum), every registration is confirmed, and no program
ended by a signal. QUILLBOX_CHAOS_SEED picks another run.
"""

import hashlib
import json
import os
import plistlib
import subprocess
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from devserver import CLIENT_SECRET, start_devserver  # noqa: E402
from sandbox import bin, make_sandbox  # noqa: E402

USER = ("alice", "pw-alice", "13900000001")
STORE = "com.velmor.files.property.plist"
# Each longer than the staged cut (300 KiB): whichever two uploads come first are cut.
SIZES = [3 * 1024 * 1024 + 17, 1500 * 1024, 700 * 1024 + 5, 400 * 1024 + 3]
ATTEMPTS = 40


def sha1sum(path):
    out = subprocess.run(["sha1sum", path], check=True, capture_output=True, text=True).stdout
    return out.split()[0]


class ChaosCase(unittest.TestCase):
    def setUp(self):
        self.srv = start_devserver(users=[USER])
        self.box = make_sandbox(user=USER[0])
        self.box.write_plist("com.velmor.loacal.plist", {"url": self.srv.base_url})
        self.box.write_plist("com.velmor.userinfo.plist",
                             {"userName": USER[0], "usernamelogin": USER[0]})
        self.box.write_plist("com.velmor.webinfo.plist",
                             {"type": "0", "access_token": self.srv.login(*USER[:2])})
        keychain = os.path.join(self.box.home, "keychain.plist")
        with open(keychain, "wb") as f:
            plistlib.dump([{"generic": "quillbox", "accessGroup": "com.velmor.quillbox",
                            "comment": USER[1]}], f)
        os.chmod(keychain, 0o600)
        self.shots = os.path.join(self.box.documents, "ScreenShot", USER[0])
        os.makedirs(self.shots)
        self.env = self.box.env(QUILLBOX_CA_FILE=self.srv.cert_path)
        self.crashes = []
        self.lock = threading.Lock()

    def tearDown(self):
        self.srv.stop()
        self.box.cleanup()

    def run_tool(self, *args, timeout=300):
        r = subprocess.run([bin("quillbox")] + list(args), env=self.env, capture_output=True,
                           text=True, timeout=timeout)
        # A signal, or a sanitizer's report (those end with exit code 1).
        if r.returncode < 0 or "Sanitizer" in r.stderr or "runtime error:" in r.stderr:
            with self.lock:
                self.crashes.append("%s: exit %d: %s" % (args, r.returncode, r.stderr[-1500:]))
        return r

    def make_file(self, name, size):
        path = os.path.join(self.shots, name)
        with open(path, "wb") as f:
            f.write(os.urandom(size))
        return path

    def file_id(self, path):
        with open(os.path.join(self.box.library, STORE), "rb") as f:
            store = plistlib.load(f)
        return next((r.get("fileID") for r in store[USER[0]] if r["path"] == path), None)

    def test_uploads_and_registrations_survive_a_faulty_service(self):
        seed = int(os.environ.get("QUILLBOX_CHAOS_SEED", "14"))
        # The records are made before the chaos starts (no registration yet).
        uploads = [self.make_file("ScreenShot_up%d.png" % i, s) for i, s in enumerate(SIZES)]
        for path in uploads:
            r = self.run_tool("record", path, "--no-register")
            self.assertEqual(r.returncode, 0, r.stderr)
        registered = [self.make_file("ScreenShot_reg%d.png" % i, 5000 + i) for i in range(3)]
        self.srv.clear_requests()
        # Every kind at least once, whatever the draw: two uploads cut
        # mid-body, a length reply that is not JSON, a login reply that is not
        # XML; then the seeded chaos.
        staged = [{"dropAfterBytes": 300 * 1024, "count": 2},
                  {"resource": "file/length.json", "count": 1, "status": 200, "body": "{\"len"},
                  {"resource": "login.json", "count": 1, "status": 200, "body": "<result><type>"},
                  {"chaos": {"percent": 35, "seed": seed, "delayMs": 32000, "delays": 2}}]
        self.srv.set_fault(staged)

        attempts = {}
        last_error = {}

        def upload(path):
            for n in range(1, ATTEMPTS + 1):
                r = self.run_tool("upload", path)
                if r.returncode == 0:
                    attempts[path] = n
                    return
                last_error[path] = r.stderr[-1500:]

        def register(path):
            r = self.run_tool("record", path, "--register", "--wait", "240", timeout=300)
            attempts[path] = r.returncode == 0 and json.loads(r.stdout.splitlines()[0])

        def login():
            for n in range(1, ATTEMPTS + 1):
                if self.run_tool("login", "--timeout", "60").returncode == 0:
                    attempts["login"] = n
                    return

        workers = [threading.Thread(target=upload, args=(p,)) for p in uploads]
        workers += [threading.Thread(target=register, args=(p,)) for p in registered]
        workers.append(threading.Thread(target=login))
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        injected = next(f["chaos"]["injected"] for f in self.srv.admin("GET", "faults")
                        if "chaos" in f)
        self.srv.clear_faults()

        self.assertEqual(self.crashes, [])
        for path in uploads:
            self.assertIn(path, attempts, "upload never completed: %s; its last attempt:\n%s"
                          % (path, last_error.get(path)))
            info = self.srv.file_info(self.file_id(path))
            self.assertEqual((info["length"], info["sha1"]),
                             (os.path.getsize(path), sha1sum(path)), path)
        confirmed = {r["sha1"] for r in self.srv.admin("GET", "registrations")}
        for path in registered:
            record = attempts.get(path)
            self.assertTrue(record, "registration not confirmed: " + path)
            digest = sha1sum(path)
            keyed = hashlib.sha1(("%s%d%d%s" % (digest, record["time"], os.path.getsize(path),
                                                CLIENT_SECRET)).encode()).hexdigest()
            self.assertIn(keyed, confirmed)
        self.assertIn("login", attempts, "the automatic login never succeeded")
        dropped = sum(1 for r in self.srv.requests() if r.get("dropped"))
        self.assertGreaterEqual(dropped, 2)
        faults = sum(injected.values()) + 4
        print("chaos: seed %d, %d requests answered, %d faults (staged: 2 uploads cut mid-body, "
              "a malformed JSON and a malformed XML reply; drawn: %s); %d uploads byte-identical "
              "after %s attempts, %d registrations confirmed, login after %d attempts, 0 crashes"
              % (seed, len(self.srv.requests()), faults,
                 ", ".join("%s %d" % kv for kv in sorted(injected.items())), len(uploads),
                 "/".join(str(attempts[p]) for p in uploads), len(registered),
                 attempts["login"]))


if __name__ == "__main__":
    unittest.main()
