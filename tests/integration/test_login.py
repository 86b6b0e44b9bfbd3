"""quillbox login against a recording HTTP(S) server on loopback.

Checks the header fields of every request (order and values), the exact body
bytes (number look-up, login form with the password digest), the web-info
plist after a success and after a refusal, that an XML reply with an external
entity leaks nothing, the keychain permission rule, and TLS verification with
and without QUILLBOX_CA_FILE (certificate made by the openssl command).
"""

import hashlib
import http.server
import os
import plistlib
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sandbox import Sandbox, bin  # noqa: E402

VERSION = "9.8.7"
SECRET = "5d0c1a9e7b3f4c82a6e1d9047bc3f215"
COMMON = [
    ("Authorization", "OAuth2 oldtoken"),
    ("Accept", "application/json"),
    ("Connection", "Keep-Alive"),
    ("User-Client", "da-zu"),
    ("Content-Type", "application/x-www-form-urlencoded"),
    ("Accept-Language", "zh-CN,zh"),
    ("Accept-Charset", "GBK,utf-8"),
    ("User-Agent", "QuillBoxiOS/" + VERSION),
]
LOGIN = [
    ("Accept", "application/xml"),
    ("Connection", "Keep-Alive"),
    ("User-Client", "da-zu"),
    ("Content-Type", "application/x-www-form-urlencoded"),
    ("Accept-Language", "zh-CN,zh"),
    ("Accept-Charset", "GBK,utf-8"),
    ("User-Agent", "QuillBoxiOS/" + VERSION),
]
OK_LOGIN = (200, b"<?xml version=\"1.0\"?>\n<result>\n  <type>0</type>\n  <message>ok</message>\n"
            b"  <access_token>new token 1</access_token>\n  <empty></empty>\n</result>\n")


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Recorder(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, replies):
        self.replies = replies  # path -> (status, body)
        self.requests = []
        self.lock = threading.Lock()
        super().__init__(("127.0.0.1", 0), Handler)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        with self.server.lock:
            self.server.requests.append((self.command, self.path, list(self.headers.items()), body))
        status, reply = self.server.replies.get(self.path, (404, b"{}"))
        self.send_response(status)
        self.send_header("Content-Type", "application/xml")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    do_GET = do_POST

    def log_message(self, *args):
        pass


class LoginTest(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox(user="alice")
        self.bundle = os.path.join(self.box.root, "bundle")
        os.makedirs(self.bundle)
        self.box.write_plist(os.path.join(self.bundle, "Info.plist"), {"CFBundleVersion": VERSION})
        self.keychain = os.path.join(self.box.home, "keychain.plist")
        self.server = None

    def tearDown(self):
        if self.server:
            self.server.shutdown()
            self.server.server_close()
        self.box.cleanup()

    def start(self, replies, tls_cert=None):
        self.server = Recorder(replies)
        scheme = "http"
        if tls_cert:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(*tls_cert)
            self.server.socket = ctx.wrap_socket(self.server.socket, server_side=True)
            scheme = "https"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        port = self.server.server_address[1]
        self.box.write_plist("com.velmor.loacal.plist",
                             {"url": "%s://127.0.0.1:%d/3/" % (scheme, port)})

    def account(self, login_name, password="pass1234", mode=0o600):
        info = {"userName": "alice", "usernamelogin": login_name}
        self.box.write_plist("com.velmor.userinfo.plist", info)
        with open(self.keychain, "wb") as f:
            plistlib.dump([{"generic": "other", "accessGroup": "x", "comment": "no"},
                           {"generic": "quillbox", "accessGroup": "com.velmor.quillbox",
                            "comment": password}], f)
        os.chmod(self.keychain, mode)
        self.box.write_plist("com.velmor.webinfo.plist",
                             {"access_token": "oldtoken", "cookieValue": "oldcookie"})

    def login(self, **env):
        return subprocess.run([bin("quillbox"), "login", "--timeout", "60"],
                              env=self.box.env(QUILLBOX_MAIN_BUNDLE=self.bundle, **env),
                              capture_output=True, text=True, timeout=120)

    def webinfo_bytes(self):
        with open(os.path.join(self.box.library, "com.velmor.webinfo.plist"), "rb") as f:
            return f.read()

    @staticmethod
    def fields(headers):
        return [(k, v) for k, v in headers if k.lower() not in ("host", "content-length")]

    def test_number_is_looked_up_then_logged_in(self):
        # The account name stands after another element inside "result".
        lookup = (b"<?xml version=\"1.0\"?><result><type>0</type>"
                  b"<string>alice01</string></result>")
        self.start({"/3/file/upload.json": (200, lookup), "/3/login.json": OK_LOGIN})
        self.account("13800138000", password="pass1234")
        run = self.login()
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn("login: success", run.stdout)
        self.assertEqual([r[1] for r in self.server.requests],
                         ["/3/file/upload.json", "/3/login.json"])
        method, _, headers, body = self.server.requests[0]
        self.assertEqual(method, "POST")
        self.assertEqual(self.fields(headers), COMMON)
        self.assertEqual(body, ("service=getPhoneUserName&mphone=13800138000&ios_version="
                                + VERSION).encode())
        method, _, headers, body = self.server.requests[1]
        self.assertEqual(self.fields(headers), LOGIN)
        digest = hashlib.sha1(b"pass1234alice01").hexdigest()
        self.assertEqual(body, ("client_id=4&client_secret=%s&userName=alice01&password=%s"
                                "&ios_version=%s" % (SECRET, digest, VERSION)).encode())
        # Every element with text; blanks removed from values; the old keys are gone.
        self.assertEqual(self.box.read_plist("com.velmor.webinfo.plist"),
                         {"type": "0", "message": "ok", "access_token": "newtoken1"})
        # It holds the token: owner-only, though the file it replaced was not.
        mode = os.stat(os.path.join(self.box.library, "com.velmor.webinfo.plist")).st_mode
        self.assertEqual(mode & 0o777, 0o600)
        # The session's secrets never reach the log.
        self.assertIn("userDic:", run.stderr)
        self.assertNotIn("oldtoken", run.stderr)
        self.assertNotIn("oldcookie", run.stderr)

    def test_account_name_logs_in_directly_and_refusal_keeps_the_session(self):
        refusal = b"<errorResult><type>1</type><message>wrong password</message></errorResult>"
        self.start({"/3/login.json": (401, refusal)})
        self.account("alice", password="p&ss=word")
        before = self.webinfo_bytes()
        run = self.login()
        self.assertEqual(run.returncode, 4, run.stdout + run.stderr)
        self.assertIn("login: failed", run.stdout)
        self.assertEqual([r[1] for r in self.server.requests], ["/3/login.json"])
        body = self.server.requests[0][3]
        digest = hashlib.sha1(b"p&ss=wordalice").hexdigest()
        self.assertIn(("password=%s&" % digest).encode(), body)
        self.assertEqual(self.webinfo_bytes(), before)

    def test_field_values_cannot_inject_form_fields(self):
        self.start({"/3/login.json": OK_LOGIN})
        self.account("bob&client_id=9")
        run = self.login()
        self.assertEqual(run.returncode, 0, run.stderr)
        body = self.server.requests[0][3]
        self.assertIn(b"&userName=bob%26client_id%3D9&", body)
        self.assertEqual(body.count(b"client_id="), 1)

    def test_external_entities_are_never_read(self):
        secret = os.path.join(self.box.root, "secret.txt")
        with open(secret, "w") as f:
            f.write("TOPSECRETVALUE")
        for reply in [
            ("<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY xxe SYSTEM \"file://%s\">]>"
             "<result><type>0</type><access_token>&xxe;</access_token></result>" % secret),
            ("<?xml version=\"1.0\"?><!DOCTYPE result SYSTEM \"file://%s\">"
             "<result><type>0</type><access_token>t</access_token></result>" % secret),
            ("<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY % p SYSTEM \"file://" + secret
             + "\"> %p;]><result><type>0</type><access_token>t</access_token></result>"),
            ("<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\">"
             "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
             "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">]>"
             "<result><type>0</type><access_token>&d;</access_token></result>"),
        ]:
            with self.subTest(reply=reply[:80]):
                if self.server:
                    self.server.shutdown()
                    self.server.server_close()
                self.start({"/3/login.json": (200, reply.encode())})
                self.account("alice")
                run = self.login()
                self.assertNotIn("TOPSECRETVALUE", run.stdout + run.stderr)
                self.assertNotIn(b"TOPSECRETVALUE", self.webinfo_bytes())
                self.assertNotIn(b"aaaaaaaaaaaaaaaaaaaa", self.webinfo_bytes())
                if run.returncode == 0:
                    token = self.box.read_plist("com.velmor.webinfo.plist").get("access_token")
                    self.assertIn(token, (None, "t"))

    def test_replies_without_decision_end_the_attempt(self):
        for reply in [b"not xml at all", b"<result><type>0</type>", b"<other>x</other>"]:
            with self.subTest(reply=reply):
                if self.server:
                    self.server.shutdown()
                    self.server.server_close()
                self.start({"/3/login.json": (200, reply)})
                self.account("alice")
                run = self.login()
                self.assertEqual(run.returncode, 1)
                self.assertIn("login: failed: ", run.stdout)

    def test_lookup_without_name_fails_without_login_request(self):
        self.start({"/3/file/upload.json": (200, b"<result><type>0</type></result>"),
                    "/3/login.json": OK_LOGIN})
        self.account("13912345678")
        run = self.login()
        self.assertEqual(run.returncode, 1)
        self.assertEqual([r[1] for r in self.server.requests], ["/3/file/upload.json"])

    def test_success_without_token_still_writes_the_session(self):
        self.start({"/3/login.json": (200, b"<result><type>0</type><message>m</message></result>")})
        self.account("alice")
        run = self.login()
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(self.box.read_plist("com.velmor.webinfo.plist"),
                         {"type": "0", "message": "m"})

    def test_plain_http_beyond_loopback_is_refused(self):
        # The token and the password digest never travel in the clear.
        self.account("alice")
        self.box.write_plist("com.velmor.loacal.plist", {"url": "http://192.0.2.1/3/"})
        run = self.login()
        self.assertEqual(run.returncode, 2, run.stdout + run.stderr)
        self.assertIn("HttpClient: refused http://192.0.2.1/3/login.json", run.stderr)
        self.assertIn("code:0", run.stderr)

    def test_each_failure_says_which_with_its_own_status(self):
        refusal = "<errorResult><type>1</type><message>密码错误</message></errorResult>".encode()
        keychain = os.path.join(self.box.home, "keychain.plist")
        cases = [
            ("refused", lambda: self.start({"/3/login.json": (401, refusal)}), 4,
             "login: failed: the service refused the credentials (密码错误); check "
             "\"usernamelogin\" of %s/com.velmor.userinfo.plist and the password in the "
             "keychain %s" % (self.box.library, keychain)),
            ("unreachable", lambda: self.box.write_plist(
                "com.velmor.loacal.plist", {"url": "http://127.0.0.1:%d/3/" % closed_port()}), 2,
             "login: failed: the service at http://127.0.0.1:"),
            ("no password", lambda: os.remove(keychain), 5,
             "login: failed: no credentials: no password in the keychain %s" % keychain),
        ]
        for name, prepare, status, said in cases:
            with self.subTest(name):
                if self.server:
                    self.server.shutdown()
                    self.server.server_close()
                    self.server = None
                self.account("alice")
                prepare()
                run = self.login()
                self.assertEqual(run.returncode, status, run.stdout + run.stderr)
                self.assertIn(said, run.stdout)

    def test_keychain_readable_by_others_is_refused(self):
        self.start({"/3/login.json": OK_LOGIN})
        self.account("alice", mode=0o644)
        run = self.login()
        self.assertEqual(run.returncode, 5)
        self.assertEqual(self.server.requests, [])
        self.assertIn("keychain:", run.stderr)

    def test_tls_is_verified_and_ca_file_adds_trust(self):
        openssl = shutil.which("openssl")
        if not openssl:
            self.skipTest("openssl command missing")
        key = os.path.join(self.box.root, "key.pem")
        cert = os.path.join(self.box.root, "cert.pem")
        subprocess.run([openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", key, "-out", cert], check=True, capture_output=True)
        self.start({"/3/login.json": OK_LOGIN}, tls_cert=(cert, key))
        self.account("alice")
        run = self.login()
        self.assertEqual(run.returncode, 3)
        self.assertIn("TLS verification failed", run.stderr)
        self.assertIn("login: failed: TLS verification of https://127.0.0.1:", run.stdout)
        self.assertIn("needs it in QUILLBOX_CA_FILE", run.stdout)
        self.assertIn("code:0", run.stderr)
        self.assertEqual(self.server.requests, [])
        run = self.login(QUILLBOX_CA_FILE=cert)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(len(self.server.requests), 1)
        self.assertEqual(self.box.read_plist("com.velmor.webinfo.plist")["access_token"],
                         "newtoken1")


if __name__ == "__main__":
    unittest.main()
