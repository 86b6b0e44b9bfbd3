#!/usr/bin/env python3
"""Evidence registration by `quillbox record --register` against the reference service.

- With no route to the service (a network namespace of the test's own whose
  loopback is down), the registration logs "重试创建属性:" every 2 s and sends
  nothing; once loopback is up and the service runs in the same namespace,
  one request is sent and the registration ends on the service's "id".
- A reply without "id" (a revoked session) is followed by an automatic login
  and one new request.

The request body is checked against digests made here with hashlib.
"""

import hashlib
import json
import os
import plistlib
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from devserver import CLIENT_SECRET, DevServerUnavailable, start_devserver  # noqa: E402
from sandbox import bin, make_sandbox, wait_for  # noqa: E402

USER = ("alice", "pass1234", "13900000001")
RETRY_LINE = "重试创建属性:"
NAMESPACE_PORT = 18443  # the namespace is the test's own: any port is free there


def expected_body(path, record):
    """The registration body, from the file's bytes and the printed record."""
    with open(path, "rb") as f:
        digest = hashlib.sha1(f.read()).hexdigest()
    size = os.path.getsize(path)
    keyed = hashlib.sha1(("%s%d%d%s" % (digest, record["time"], size, CLIENT_SECRET))
                         .encode()).hexdigest()
    assert record["hash"] == digest, (record, digest)
    assert record["sha1"] == keyed, (record, keyed)
    return "hash=%s&sha1=%s&time=%d&size=%d" % (digest, keyed, record["time"], size)


def make_evidence(box, name="evidence.png", size=5000):
    folder = os.path.join(box.documents, "ScreenShot", USER[0])
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(os.urandom(size))
    return path


def safe_requests(srv):
    return [r for r in srv.requests() if r["resource"] == "file/safe.json"]


def run_inside_namespace(data_dir, cert_path, token):
    """The namespace half: loopback starts down. Gives a process exit status."""
    box = make_sandbox(user=USER[0])
    log_path = os.path.join(box.root, "record.log")
    srv = None
    proc = None
    try:
        base = "https://127.0.0.1:%d/3/" % NAMESPACE_PORT
        box.write_plist("com.velmor.loacal.plist", {"url": base})
        box.write_plist("com.velmor.webinfo.plist", {"access_token": token})
        path = make_evidence(box)
        env = box.env(QUILLBOX_CA_FILE=cert_path)
        with open(log_path, "wb") as log:
            proc = subprocess.Popen([bin("quillbox"), "record", path, "--register"], env=env,
                                    stdout=subprocess.PIPE, stderr=log, text=True)

        def retries():
            with open(log_path, encoding="utf-8", errors="replace") as f:
                return f.read().count(RETRY_LINE)

        assert wait_for(lambda: retries() >= 2, timeout=30), "no retry lines while unreachable"
        assert proc.poll() is None, "record ended while the service was unreachable"

        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        srv = start_devserver(data_dir=data_dir, users=[USER], port=NAMESPACE_PORT)
        out, _ = proc.communicate(timeout=60)
        with open(log_path, encoding="utf-8", errors="replace") as f:
            log_text = f.read()
        assert proc.returncode == 0, "record --register failed: %s" % log_text[-2000:]
        record = json.loads(out.splitlines()[0])

        sent = safe_requests(srv)
        assert len(sent) == 1, "expected one registration request, got %d" % len(sent)
        assert sent[0]["status"] == 200, sent[0]
        assert sent[0]["body"] == expected_body(path, record), (sent[0]["body"], record)
        registered = srv.admin("GET", "registrations")
        assert any(r.get("sha1") == record["sha1"] for r in registered), registered
        # The retries were logged with the record, and nothing after the confirmation.
        retry_lines = [line for line in log_text.splitlines() if RETRY_LINE in line]
        assert all(record["sha1"] in line for line in retry_lines), retry_lines[:1]
        print("inside namespace: %d retries, one request, registered" % len(retry_lines))
        return 0
    except AssertionError as e:
        print("FAILED inside namespace: %s" % e)
        return 1
    finally:
        if proc and proc.poll() is None:
            proc.kill()
            proc.wait()
        if srv:
            srv.stop()
        box.cleanup()


class RegistrationCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.q = bin("quillbox")

    def test_unreachable_service_is_retried_then_registered_once(self):
        if os.geteuid() != 0 or not shutil.which("ip"):
            self.skipTest("network namespaces need root and iproute2's ip")
        name = "qbreg%d" % os.getpid()
        made = subprocess.run(["ip", "netns", "add", name], capture_output=True, text=True)
        if made.returncode != 0:
            self.skipTest("network namespaces cannot be made here: " + made.stderr.strip())
        work = tempfile.mkdtemp(prefix="qb-register-")
        try:
            # The service's data folder (certificate, users' tokens) is made
            # and a session opened on the host's loopback; the namespace's
            # service starts later from the same folder.
            data_dir = os.path.join(work, "data")
            try:
                srv = start_devserver(data_dir=data_dir, users=[USER])
            except DevServerUnavailable:
                self.skipTest("quillbox-devserver not built")
            try:
                token = srv.login(USER[0], USER[1])
                cert_path = srv.cert_path
            finally:
                srv.stop()
            inner = subprocess.run(
                ["ip", "netns", "exec", name, sys.executable, os.path.abspath(__file__),
                 "--inside-namespace", data_dir, cert_path, token],
                capture_output=True, text=True, timeout=240)
            self.assertEqual(inner.returncode, 0, inner.stdout[-3000:] + inner.stderr[-3000:])
            self.assertIn("one request, registered", inner.stdout)
        finally:
            subprocess.run(["ip", "netns", "del", name], capture_output=True)
            shutil.rmtree(work, ignore_errors=True)

    def test_reply_without_id_logs_in_again_and_sends_once_more(self):
        try:
            srv = start_devserver(users=[USER])
        except DevServerUnavailable:
            self.skipTest("quillbox-devserver not built")
        box = make_sandbox(user=USER[0])
        try:
            box.write_plist("com.velmor.loacal.plist", {"url": srv.base_url})
            box.write_plist("com.velmor.userinfo.plist",
                            {"userName": USER[0], "usernamelogin": USER[0]})
            box.write_plist("com.velmor.webinfo.plist", {"access_token": srv.login(*USER[:2])})
            keychain = os.path.join(box.home, "keychain.plist")
            with open(keychain, "wb") as f:
                plistlib.dump([{"generic": "quillbox", "accessGroup": "com.velmor.quillbox",
                                "comment": USER[1]}], f)
            os.chmod(keychain, 0o600)
            srv.revoke_tokens()
            srv.clear_requests()
            path = make_evidence(box)
            run = subprocess.run([self.q, "record", path, "--register", "--wait", "60"],
                                 env=box.env(QUILLBOX_CA_FILE=srv.cert_path),
                                 capture_output=True, text=True, timeout=120)
            self.assertEqual(run.returncode, 0, run.stderr[-3000:])
            record = json.loads(run.stdout.splitlines()[0])
            api = [(r["resource"], r["status"]) for r in srv.requests()]
            self.assertEqual(api, [("file/safe.json", 401), ("login.json", 200),
                                   ("file/safe.json", 200)])
            bodies = [r["body"] for r in safe_requests(srv)]
            self.assertEqual(bodies, [expected_body(path, record)] * 2)
            self.assertNotIn(RETRY_LINE, run.stderr)  # the service was reachable throughout
        finally:
            box.cleanup()
            srv.stop()


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--inside-namespace":
        sys.exit(run_inside_namespace(*sys.argv[2:5]))
    unittest.main()
