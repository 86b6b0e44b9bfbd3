"""quillbox-devserver: the reference cloud service, driven over HTTPS on loopback."""

import base64
import hashlib
import json
import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest
import http.client

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import devserver  # noqa: E402
from devserver import CLIENT_SECRET, DEMO_USER, password_digest, start_devserver  # noqa: E402

ALICE = ("alice", "s3cret pass+word", "13912345678")
BOB = ("bob", "hunter2", "")


def login_form(name, password, secret=CLIENT_SECRET):
    return [("client_id", "4"), ("client_secret", secret), ("userName", name),
            ("password", password_digest(password, name)), ("ios_version", "1.0.3")]


def sha1(data):
    return hashlib.sha1(data).hexdigest()


def create_form(name="ScreenShot_20240101_120000.png", length=1000, data_hash="a" * 40, **extra):
    form = [("name", name), ("type", "08"), ("length", str(length)), ("hash", data_hash)]
    form += list(extra.items())
    return form


def wait_for(predicate, tries=1200):
    """Polls a condition a bounded number of times (a hang guard of a minute)."""
    for _ in range(tries):
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


class ServerCase(unittest.TestCase):
    """One server per test class, with the demo user, alice and bob."""
    http = False

    @classmethod
    def setUpClass(cls):
        cls.srv = start_devserver(http=cls.http, users=[DEMO_USER, ALICE, BOB])
        cls.token = cls.srv.login(ALICE[0], ALICE[1])

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()

    def setUp(self):
        self.srv.clear_faults()
        self.srv.clear_requests()

    def new_file(self, data, token=None, **extra):
        status, text = self.srv.call("POST", "file/create.json", token=token or self.token,
                                     form=create_form(length=len(data), data_hash=sha1(data),
                                                      **extra))
        self.assertEqual(status, 200, text)
        return json.loads(text)["id"]

    def length(self, file_id, token=None):
        status, text = self.srv.call("GET", "file/length.json?id=" + file_id,
                                     token=token or self.token)
        return status, json.loads(text)

    def upload(self, file_id, index, body, token=None, headers=None):
        hdrs = {"Content-Type": "application/octet-stream"}
        hdrs.update(headers or {})
        status, text = self.srv.call("POST", "file/upload.json?id=%s&index=%d" % (file_id, index),
                                     body=body, token=token or self.token, headers=hdrs)
        return status, json.loads(text)


class LoginTest(ServerCase):
    def test_login_issues_a_token_in_an_xml_result(self):
        status, text = self.srv.call("POST", "login.json", form=login_form("demo", "quillbox"))
        self.assertEqual(status, 200)
        self.assertTrue(text.startswith("<?xml"))
        self.assertIn("<result><type>0</type>", text)
        token = text[text.index("<access_token>") + 14:text.index("</access_token>")]
        self.assertRegex(token, "^[0-9a-f]{32}$")
        self.assertNotEqual(token, self.srv.login("demo", "quillbox"), "tokens are fresh")
        # The token opens the authenticated resources.
        status, _ = self.srv.call("GET", "file/length.json?id=00", token=token)
        self.assertEqual(status, 404)  # authorised, but no such file

    def test_password_digest_covers_password_then_name(self):
        # A password holding "+" and a space arrives intact ("+" is no space here).
        self.assertTrue(self.srv.login(ALICE[0], ALICE[1]))
        wrong = [("client_id", "4"), ("client_secret", CLIENT_SECRET), ("userName", "alice"),
                 ("password", password_digest("alice", ALICE[1])), ("ios_version", "1")]
        status, text = self.srv.call("POST", "login.json", form=wrong)
        self.assertEqual(status, 401)
        self.assertIn("<errorResult><type>", text)
        self.assertIn("<message>", text)

    def test_refusals(self):
        cases = {
            "wrong password": login_form("demo", "nope"),
            "unknown user": login_form("nobody", "quillbox"),
            "wrong client secret": login_form("demo", "quillbox", secret="0" * 32),
        }
        for what, form in cases.items():
            with self.subTest(what):
                status, text = self.srv.call("POST", "login.json", form=form)
                self.assertGreaterEqual(status, 400)
                self.assertLess(status, 500)
                self.assertIn("<errorResult>", text)
                self.assertNotIn("access_token", text)
        status, text = self.srv.call("POST", "login.json", form=login_form("demo", "x")[:2])
        self.assertEqual(status, 400)
        self.assertIn("<errorResult>", text)

    def test_revoked_tokens_are_refused(self):
        token = self.srv.login()
        self.srv.revoke_tokens()
        status, text = self.srv.call("GET", "file/length.json?id=00", token=token)
        self.assertEqual(status, 401)
        self.assertIn("error", json.loads(text))
        type(self).token = self.srv.login(ALICE[0], ALICE[1])


class NumberLookupTest(ServerCase):
    def lookup(self, phone, token):
        return self.srv.call("POST", "file/upload.json", token=token, form=[
            ("service", "getPhoneUserName"), ("mphone", phone), ("ios_version", "1")])

    def test_known_phone_gives_the_account_name_as_first_element(self):
        status, text = self.lookup(ALICE[2], self.token)
        self.assertEqual(status, 200)
        self.assertEqual(text, '<?xml version="1.0" encoding="UTF-8"?><string>alice</string>')

    def test_lookup_works_with_a_stale_token(self):
        # A phone-number login runs the look-up before it has a fresh token.
        status, text = self.lookup(DEMO_USER[2], "stale")
        self.assertEqual(status, 200)
        self.assertIn("<string>demo</string>", text)

    def test_unknown_phone_and_unknown_service(self):
        status, text = self.lookup("13000000000", self.token)
        self.assertEqual(status, 404)
        self.assertIn("<errorResult>", text)
        status, text = self.srv.call("POST", "file/upload.json", token=self.token,
                                     form=[("service", "uploadPlainFileMessage")])
        self.assertEqual(status, 400)
        self.assertIn("<errorResult>", text)
        status, text = self.srv.call("POST", "file/upload.json", token="bad",
                                     form=[("service", "uploadPlainFileMessage")])
        self.assertEqual(status, 401)
        self.assertIn("<errorResult>", text)


class RegistrationTest(ServerCase):
    BODY = "hash=%s&sha1=%s&time=1700000000123&size=4321" % ("0a" * 20, "B1" * 20)

    def test_token_is_required(self):
        before = len(self.srv.admin("GET", "registrations"))
        for token in (None, "0" * 32):
            with self.subTest(token=token):
                status, text = self.srv.call("POST", "file/safe.json", body=self.BODY,
                                             token=token)
                self.assertEqual(status, 401)
                self.assertIn("error", json.loads(text))
        self.assertEqual(len(self.srv.admin("GET", "registrations")), before)

    def test_registration_is_kept_and_retries_get_the_same_id(self):
        status, text = self.srv.call("POST", "file/safe.json", body=self.BODY, token=self.token)
        self.assertEqual(status, 200)
        reg_id = json.loads(text)["id"]
        self.assertTrue(reg_id)
        again = json.loads(self.srv.call("POST", "file/safe.json", body=self.BODY,
                                         token=self.token)[1])["id"]
        self.assertEqual(again, reg_id)
        regs = [r for r in self.srv.admin("GET", "registrations") if r["id"] == reg_id]
        self.assertEqual(len(regs), 1)
        self.assertEqual((regs[0]["hash"], regs[0]["sha1"], regs[0]["time"], regs[0]["size"]),
                         ("0a" * 20, "b1" * 20, 1700000000123, 4321))
        self.assertEqual(regs[0]["owner"], "alice")
        with open(os.path.join(self.srv.data_dir, "registrations.jsonl")) as f:
            self.assertIn(reg_id, [json.loads(line)["id"] for line in f])

    def test_malformed_values_are_refused(self):
        good = dict(hash="0a" * 20, sha1="b1" * 20, time="1", size="2")
        for field, value in [("hash", "0a" * 19), ("sha1", "zz" * 20), ("time", "-1"),
                             ("size", "12x"), ("time", "")]:
            with self.subTest(field=field, value=value):
                form = dict(good, **{field: value})
                status, text = self.srv.call("POST", "file/safe.json", form=form,
                                             token=self.token)
                self.assertEqual(status, 400)
                self.assertIn(field, json.loads(text)["error"])

    def test_journal_holds_exact_headers_and_body(self):
        self.srv.call("POST", "file/safe.json", body=self.BODY, token=self.token,
                      headers={"User-Client": "da-zu", "Accept-Charset": "GBK,utf-8"})
        [entry] = self.srv.requests()
        self.assertEqual(entry["method"], "POST")
        self.assertEqual(entry["resource"], "file/safe.json")
        self.assertEqual(entry["body"], self.BODY)
        self.assertEqual(entry["bodyLength"], len(self.BODY))
        self.assertEqual(entry["status"], 200)
        headers = dict((k.lower(), v) for k, v in entry["headers"])
        self.assertEqual(headers["authorization"], "OAuth2 " + self.token)
        self.assertEqual(headers["user-client"], "da-zu")
        self.assertEqual(headers["accept-charset"], "GBK,utf-8")
        self.srv.clear_requests()
        self.assertEqual(self.srv.requests(), [])


class CreateTest(ServerCase):
    def test_required_fields(self):
        full = dict(create_form())
        for missing in ("name", "type", "length", "hash"):
            with self.subTest(missing=missing):
                form = [(k, v) for k, v in full.items() if k != missing]
                status, text = self.srv.call("POST", "file/create.json", form=form,
                                             token=self.token)
                self.assertEqual(status, 400)
                self.assertIn(missing, json.loads(text)["error"])
        for field, value in [("length", "ten"), ("hash", "abc"), ("type", "8x")]:
            with self.subTest(field=field):
                form = dict(full, **{field: value})
                status, text = self.srv.call("POST", "file/create.json", form=form,
                                             token=self.token)
                self.assertEqual(status, 400)
                self.assertIn("error", json.loads(text))
        status, _ = self.srv.call("POST", "file/create.json", form=full, token=None)
        self.assertEqual(status, 401)

    def test_fields_and_thumbnails_are_stored(self):
        small = bytes(range(256)) * 3 + b"\xfb\xff"  # URL-safe alphabet needs - and _
        middle = b"middle thumbnail"
        small_b64 = base64.urlsafe_b64encode(small).decode()
        self.assertTrue("-" in small_b64 or "_" in small_b64)
        # The client escapes the form itself: "%20" for a space, "+" as "%2B",
        # and leaves "=" (Base64 padding) unescaped.
        body = ("name=a%20b.png&type=08&length=12&hash=" + "c" * 40 +
                "&comment=1%2B1%20is%202&labels=x+y&small_img=" + small_b64 +
                "&middle_img=" + base64.urlsafe_b64encode(middle).decode())
        status, text = self.srv.call("POST", "file/create.json", body=body, token=self.token)
        self.assertEqual(status, 200, text)
        file_id = json.loads(text)["id"]
        info = self.srv.file_info(file_id)
        self.assertEqual(info["name"], "a b.png")
        self.assertEqual(info["type"], "08")
        self.assertEqual(info["declaredLength"], 12)
        self.assertEqual(info["fields"]["comment"], "1+1 is 2")
        self.assertEqual(info["fields"]["labels"], "x+y")
        self.assertEqual(info["length"], 0)
        folder = os.path.dirname(info["dataPath"])
        with open(os.path.join(folder, info["images"]["small_img"]), "rb") as f:
            self.assertEqual(f.read(), small)
        with open(os.path.join(folder, info["images"]["middle_img"]), "rb") as f:
            self.assertEqual(f.read(), middle)

    def test_bad_thumbnail_is_refused(self):
        status, text = self.srv.call("POST", "file/create.json", token=self.token,
                                     form=create_form(small_img="not*base64"))
        self.assertEqual(status, 400)
        self.assertIn("small_img", json.loads(text)["error"])


class UploadTest(ServerCase):
    def test_length_of_unknown_or_foreign_file(self):
        for file_id in ("0123456789abcdef", "../../etc", ""):
            with self.subTest(file_id=file_id):
                status, reply = self.length(file_id)
                self.assertEqual(status, 404)
                self.assertIn("error", reply)
        bob = self.srv.login(BOB[0], BOB[1])
        file_id = self.new_file(b"mine", token=bob)
        self.assertEqual(self.length(file_id)[0], 404, "alice can't see bob's file")
        self.assertEqual(self.length(file_id, token=bob), (200, {"length": 0}))

    def test_upload_resume_and_wrong_index(self):
        data = os.urandom(300000)
        file_id = self.new_file(data)
        self.assertEqual(self.length(file_id), (200, {"length": 0}))
        status, reply = self.upload(file_id, 0, data[:100000])
        self.assertEqual((status, reply["length"]), (200, 100000))
        self.assertFalse(reply["complete"])
        for wrong in (0, 99999, 100001):
            with self.subTest(index=wrong):
                status, reply = self.upload(file_id, wrong, data[wrong:])
                self.assertEqual(status, 409)
                self.assertEqual(reply["length"], 100000)
                self.assertIn("error", reply)
        self.assertEqual(self.length(file_id)[1], {"length": 100000})
        status, reply = self.upload(file_id, 100000, data[100000:])
        self.assertEqual((status, reply["length"], reply["complete"]), (200, 300000, True))
        # A finished file takes an empty upload at its end (nothing left to send).
        self.assertEqual(self.upload(file_id, 300000, b"")[0], 200)
        info = self.srv.file_info(file_id)
        self.assertEqual(info["length"], len(data))
        self.assertEqual(info["sha1"], sha1(data))
        out = subprocess.run(["sha1sum", info["dataPath"]], capture_output=True, text=True)
        self.assertEqual(out.stdout.split()[0], sha1(data))

    def test_chunked_body(self):
        data = os.urandom(70000)
        file_id = self.new_file(data)
        conn = self.srv.connection()
        conn.putrequest("POST", "/3/file/upload.json?id=%s&index=0" % file_id)
        conn.putheader("Authorization", "OAuth2 " + self.token)
        conn.putheader("Transfer-Encoding", "chunked")
        conn.endheaders()
        for i in range(0, len(data), 16384):
            piece = data[i:i + 16384]
            conn.send(b"%x\r\n%s\r\n" % (len(piece), piece))
        conn.send(b"0\r\n\r\n")
        resp = conn.getresponse()
        self.assertEqual(resp.status, 200)
        self.assertEqual(json.loads(resp.read())["length"], len(data))
        conn.close()
        self.assertEqual(self.srv.file_info(file_id)["sha1"], sha1(data))

    def test_body_past_declared_length_is_not_stored(self):
        file_id = self.new_file(b"12345")
        status, reply = self.upload(file_id, 0, b"123456789")
        self.assertEqual(status, 400)
        self.assertEqual(reply["length"], 5)
        self.assertEqual(self.srv.file_info(file_id)["sha1"], sha1(b"12345"))

    def test_upload_needs_token_and_known_file(self):
        file_id = self.new_file(b"abc")
        self.assertEqual(self.upload(file_id, 0, b"abc", token="nope")[0], 401)
        self.assertEqual(self.upload("ffff", 0, b"abc")[0], 404)
        self.assertEqual(self.upload(file_id, 0, b"abc")[0], 200)  # connection reuse is fine

    def test_client_drop_mid_body_keeps_the_prefix(self):
        data = os.urandom(50000)
        file_id = self.new_file(data)
        sock = socket.create_connection(("127.0.0.1", self.srv.port))
        sock = self.srv.ssl_context().wrap_socket(sock, server_hostname="127.0.0.1")
        head = ("POST /3/file/upload.json?id=%s&index=0 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                "Authorization: OAuth2 %s\r\nContent-Type: application/octet-stream\r\n"
                "Content-Length: %d\r\n\r\n" % (file_id, self.token, len(data)))
        sock.sendall(head.encode() + data[:12345])
        sock.close()
        self.assertTrue(wait_for(lambda: self.length(file_id)[1] == {"length": 12345}),
                        self.length(file_id))
        status, reply = self.upload(file_id, 12345, data[12345:])
        self.assertEqual((status, reply["length"]), (200, len(data)))
        self.assertEqual(self.srv.file_info(file_id)["sha1"], sha1(data))
        entry = [e for e in self.srv.requests() if e["query"].endswith("index=0")][0]
        self.assertEqual(entry["bodyLength"], 12345)
        self.assertNotIn("body", entry)


class FaultTest(ServerCase):
    def test_failures_for_a_resource(self):
        self.srv.set_fault(resource="file/safe.json", count=2, status=503, body='{"x":1}')
        body = RegistrationTest.BODY
        for _ in range(2):
            self.assertEqual(self.srv.call("POST", "file/safe.json", body=body,
                                           token=self.token), (503, '{"x":1}'))
        # Other resources are untouched, and the third request goes through.
        self.assertEqual(self.length("00")[0], 404)
        status, text = self.srv.call("POST", "file/safe.json", body=body, token=self.token)
        self.assertEqual(status, 200)
        self.assertIn("id", json.loads(text))
        self.assertEqual([e["status"] for e in self.srv.requests()], [503, 503, 404, 200])
        self.assertEqual(self.srv.admin("GET", "faults"), [])

    def test_failure_of_an_upload_keeps_the_connection_usable(self):
        file_id = self.new_file(b"x" * 10)
        self.srv.set_fault(resource="file/upload.json", count=1, status=500)
        conn = self.srv.connection()
        for expected in (500, 200):
            conn.request("POST", "/3/file/upload.json?id=%s&index=0" % file_id, body=b"x" * 10,
                         headers={"Authorization": "OAuth2 " + self.token})
            resp = conn.getresponse()
            resp.read()
            self.assertEqual(resp.status, expected)
        conn.close()

    def test_dropped_upload_keeps_the_first_bytes(self):
        data = os.urandom(200000)
        file_id = self.new_file(data)
        tail = os.urandom(65536)
        tail_id = self.new_file(tail)
        self.srv.set_fault(dropAfterBytes=65536)
        # A body no longer than the cut (a resumed tail) leaves the drop pending.
        self.assertEqual(self.upload(tail_id, 0, tail)[0], 200)
        with self.assertRaises((OSError, http.client.HTTPException)):
            self.upload(file_id, 0, data)
        self.assertEqual(self.length(file_id)[1], {"length": 65536})
        self.assertEqual(self.srv.file_info(file_id)["sha1"], sha1(data[:65536]))
        entries = [e for e in self.srv.requests() if e["resource"] == "file/upload.json"]
        self.assertEqual([e["dropped"] for e in entries], [False, True])
        # Only the next upload was cut: the resume completes the file.
        status, reply = self.upload(file_id, 65536, data[65536:])
        self.assertEqual((status, reply["length"]), (200, len(data)))
        self.assertEqual(self.srv.file_info(file_id)["sha1"], sha1(data))

    def test_delay_and_malformed_switches(self):
        self.srv.set_fault(delayMs=30, resource="file/length.json")
        self.assertIn({"delayMs": 30, "resource": "file/length.json"},
                      self.srv.admin("GET", "faults"))
        self.assertEqual(self.length("00")[0], 404)  # delayed, then answered
        self.srv.set_fault(delayMs=0, resource="file/length.json")
        self.assertEqual(self.srv.admin("GET", "faults"), [])
        for bad in ({"count": 1}, {"resource": "x", "status": 42}, {"dropAfterBytes": -1},
                    [{"delayMs": 5}, "nope"]):
            with self.subTest(bad=bad):
                status, reply = self.srv.admin_call("POST", "faults", json=bad)
                self.assertEqual(status, 400)
                self.assertIn("error", reply)
        self.assertEqual(self.srv.admin("GET", "faults"), [])

    def test_canned_reply(self):
        self.srv.admin("POST", "/__admin/replies", json={"method": "GET", "path": "/pages/x.aspx",
                                                "status": 200, "body": "hello"})
        status, _, body = self.srv.raw("GET", "/pages/x.aspx")
        self.assertEqual((status, body), (200, b"hello"))
        self.srv.admin("DELETE", "replies")
        self.assertEqual(self.srv.raw("GET", "/pages/x.aspx")[0], 404)


class StartupTest(unittest.TestCase):
    def test_state_survives_a_restart(self):
        data_dir = tempfile.mkdtemp(prefix="devserver-restart-")
        self.addCleanup(shutil.rmtree, data_dir, True)
        data = os.urandom(5000)
        with start_devserver(data_dir=data_dir) as srv:
            token = srv.login()
            _, text = srv.call("POST", "file/create.json", token=token,
                               form=create_form(length=len(data), data_hash=sha1(data)))
            file_id = json.loads(text)["id"]
            srv.call("POST", "file/upload.json?id=%s&index=0" % file_id, body=data[:3000],
                     token=token)
            srv.call("POST", "file/safe.json", body=RegistrationTest.BODY, token=token)
            with open(srv.cert_path) as f:
                cert = f.read()
        with start_devserver(data_dir=data_dir) as srv:
            with open(srv.cert_path) as f:
                self.assertEqual(f.read(), cert, "certificate is reused")
            status, text = srv.call("GET", "file/length.json?id=" + file_id, token=token)
            self.assertEqual((status, json.loads(text)), (200, {"length": 3000}))
            srv.call("POST", "file/upload.json?id=%s&index=3000" % file_id, body=data[3000:],
                     token=token)
            self.assertEqual(srv.file_info(file_id)["sha1"], sha1(data))
            self.assertEqual(len(srv.admin("GET", "registrations")), 1)

    def test_plain_http_mode(self):
        with start_devserver(http=True) as srv:
            self.assertIsNone(srv.cert_path)
            self.assertTrue(srv.base_url.startswith("http://127.0.0.1:"))
            self.assertTrue(srv.base_url.endswith("/3/"))
            token = srv.login()
            file_id = json.loads(srv.call("POST", "file/create.json", token=token,
                                          form=create_form(length=3))[1])["id"]
            srv.set_fault(dropAfterBytes=1)
            with self.assertRaises((OSError, http.client.HTTPException)):
                srv.call("POST", "file/upload.json?id=%s&index=0" % file_id, body=b"abc",
                         token=token)
            self.assertEqual(srv.file_info(file_id)["length"], 1)
            self.assertFalse(os.path.exists(os.path.join(srv.data_dir, "cert.pem")))

    def test_certificate_is_a_ca_for_loopback(self):
        with start_devserver() as srv:
            self.assertTrue(srv.base_url.startswith("https://127.0.0.1:%d/" % srv.port))
            text = subprocess.run(["openssl", "x509", "-in", srv.cert_path, "-noout", "-text"],
                                  capture_output=True, text=True, check=True).stdout
            self.assertIn("CA:TRUE", text)
            self.assertIn("IP Address:127.0.0.1", text)
            self.assertIn("DNS:localhost", text)
            verify = subprocess.run(["openssl", "verify", "-CAfile", srv.cert_path,
                                     srv.cert_path], capture_output=True, text=True)
            self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)
            key_mode = os.stat(os.path.join(srv.data_dir, "key.pem")).st_mode & 0o777
            self.assertEqual(key_mode, 0o600)
            # "localhost" is also a valid name for the certificate.
            conn = http.client.HTTPSConnection("localhost", srv.port, context=srv.ssl_context(),
                                               timeout=30)
            conn.request("GET", "/__admin/faults")
            self.assertEqual(conn.getresponse().status, 200)
            conn.close()
            # A client that doesn't trust it is refused the handshake.
            conn = http.client.HTTPSConnection("127.0.0.1", srv.port, timeout=30,
                                               context=ssl.create_default_context())
            with self.assertRaises(ssl.SSLError):
                conn.request("GET", "/__admin/faults")
            conn.close()

    def test_flags(self):
        work = tempfile.mkdtemp(prefix="devserver-flags-")
        self.addCleanup(shutil.rmtree, work, True)
        users = os.path.join(work, "users.txt")
        with open(users, "w") as f:
            f.write("# name:password:phone\ncarol:pw:pw:13500000000\n\ndave:x:\n")
        log = os.path.join(work, "requests.log")
        with start_devserver(extra_args=["--users", users, "--log", log,
                                         "--fail", "login.json:1:500"]) as srv:
            status, _ = srv.call("POST", "login.json", form=login_form("dave", "x"))
            self.assertEqual(status, 500)
            self.assertTrue(srv.login("dave", "x"))
            # The first ":" ends the name; the last one starts the phone.
            self.assertTrue(srv.login("carol", "pw:pw"))
            with self.assertRaises(AssertionError):
                srv.login(*DEMO_USER[:2])  # the demo user is not known with a users file
        with open(log) as f:
            lines = f.read().splitlines()
        self.assertTrue(lines[0].startswith("POST /3/login.json"), lines)
        self.assertIn("status=500", lines[0])
        for bad, status, message in (
                (["--host", "0.0.0.0"], 2, "refusing to listen on 0.0.0.0 (not loopback)"),
                (["--users", os.path.join(work, "missing")], 1, "cannot read users file"),
                (["--fail", "nonsense"], 1, "--fail expects RESOURCE:COUNT:STATUS")):
            with self.subTest(bad=bad):
                out = subprocess.run([devserver.devserver_binary(), "--port", "0", "--data",
                                      os.path.join(work, "d")] + bad,
                                     capture_output=True, text=True, timeout=60)
                self.assertEqual(out.returncode, status, out.stderr)
                self.assertIn(message, out.stderr)
                self.assertNotIn("READY", out.stdout)


if __name__ == "__main__":
    if not os.path.exists(devserver.devserver_binary()):
        print("skipped: %s not built" % devserver.devserver_binary())
        sys.exit(77)
    unittest.main()
