"""Start and drive quillbox-devserver, the reference cloud service, from tests.

Usage (Python standard library only):

    from devserver import start_devserver, DEMO_USER

    with start_devserver() as srv:           # HTTPS, temp data folder, demo user
        ctx = srv.ssl_context()             # trusts srv.cert_path
        status, body = srv.call("POST", "login.json", form={...})
        token = srv.login()                 # the demo account's token
        srv.set_fault(resource="file/safe.json", count=2, status=500)
        srv.admin("GET", "registrations")   # parsed JSON; admin_call() adds the status
        srv.requests()                      # journal: [{method, path, resource, query,
                                            #   headers [[name, value]...], body, bodyLength,
                                            #   status, dropped, user, seq}, ...]

Handle attributes: base_url ("https://127.0.0.1:PORT/3/", "http://..." with
http=True), cert_path (None with http=True), port, data_dir, log_path (the
server's stderr), tsa_url (its RFC 3161 time-stamp authority) and tsa_root (the
root its time stamps chain to).

Users: start_devserver(users=[("alice", "secret", "13900000000"), ...]) writes a
users file. The server's users-file format (--users FILE) is either a JSON array
    [{"name": "alice", "password": "secret", "phone": "13900000000"}]
or one account a line, "name:password:phone" (the name ends at the first ":",
the phone starts after the last one; phone may be empty; lines that start with
"#" are comments). Without a file the server knows DEMO_USER.

Admin endpoints (loopback only), all JSON:
    GET/DELETE /__admin/requests      journal of API requests (headers are given
                                      in name order: cpp-httplib keeps no arrival order)
    GET/POST/DELETE /__admin/faults   fault switches; POST takes an object or array of
        {"resource": R, "count": N, "status": S, "body": B}  fail the next N requests
                                      of R ("file/safe.json", "*" = every API request)
        {"dropAfterBytes": N, "count": 1}  the next upload keeps N body bytes, then
                                      its connection is cut with no reply
        {"delayMs": MS, "resource": R}     delay replies of R (all without R); 0 clears
    GET /__admin/files/ID             {"length", "sha1", "declaredLength", "name", "type",
                                      "hash", "fields", "images", "owner", "dataPath", ...}
    GET /__admin/registrations        the accepted file/safe.json registrations
    DELETE /__admin/tokens            revoke every token (the next request gets 401)
    POST/DELETE /__admin/replies      canned reply for a method and path outside
                                      /__admin/ (it overrides the API's answer too):
                                      {"method": "GET", "path": "/x", "status": 200,
                                       "body": "...", "contentType": "text/plain"}
    GET/POST/DELETE /__admin/update   the update check's announcement: POST
        {"version": V, "url": U} announces V to checks whose "version" is empty or
        older; DELETE announces nothing (also --announce-update VERSION[,URL]).
        The check, GET /pages/check/updateini.aspx?..., is journalled like the API
        and answered on the server's own scheme (HTTPS, or plain HTTP with http=True).
"""

import hashlib
import http.client
import json as jsonlib
import os
import shutil
import signal
import ssl
import subprocess
import tempfile
import time
import urllib.parse

CLIENT_SECRET = "5d0c1a9e7b3f4c82a6e1d9047bc3f215"
DEMO_USER = ("demo", "quillbox", "13800138000")  # name, password, phone
_HERE = os.path.dirname(os.path.abspath(__file__))


class DevServerUnavailable(Exception):
    """The server binary is missing (tests should skip, exit code 77)."""


def devserver_binary():
    """The service under test; a sanitizer tree names the plain tree's (QUILLBOX_DEVSERVER)."""
    if os.environ.get("QUILLBOX_DEVSERVER"):
        return os.environ["QUILLBOX_DEVSERVER"]
    bin_dir = os.environ.get("QUILLBOX_BIN_DIR") or os.path.join(_HERE, "..", "..", "build", "bin")
    return os.path.join(bin_dir, "quillbox-devserver")


def password_digest(password, user_name):
    """The login form's "password": hex SHA-1 of the password followed by the name."""
    return hashlib.sha1((password + user_name).encode("utf-8")).hexdigest()


def form_encode(fields):
    """A form body as the client sends it: "%20" for a space, "+" escaped as "%2B"."""
    return "&".join(
        urllib.parse.quote(str(k), safe="") + "=" + urllib.parse.quote(str(v), safe="")
        for k, v in fields)


class DevServer:
    def __init__(self, proc, port, cert_path, base_url, data_dir, temp_dirs, log_path):
        self.proc = proc
        self.port = port
        self.cert_path = cert_path
        self.base_url = base_url
        self.data_dir = data_dir
        self.log_path = log_path
        self._temp_dirs = temp_dirs
        self.http = cert_path is None
        self.tsa_url = "%s://127.0.0.1:%d/tsa" % ("http" if self.http else "https", port)
        self.tsa_root = os.path.join(data_dir, "tsa-root.pem")

    # -- plumbing -----------------------------------------------------------
    def ssl_context(self):
        """An SSL context that trusts the server's certificate (None for --http)."""
        if self.http:
            return None
        return ssl.create_default_context(cafile=self.cert_path)

    def connection(self, timeout=60):
        if self.http:
            return http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        return http.client.HTTPSConnection("127.0.0.1", self.port, timeout=timeout,
                                           context=self.ssl_context())

    def raw(self, method, path, body=None, headers=None):
        """One request to an absolute path; gives (status, headers dict, body bytes)."""
        conn = self.connection()
        try:
            hdrs = dict(headers or {})
            if body is None and method in ("POST", "PUT", "DELETE"):
                body = b""
            if isinstance(body, str):
                body = body.encode("utf-8")
            conn.request(method, path, body=body, headers=hdrs)
            resp = conn.getresponse()
            return resp.status, dict(resp.getheaders()), resp.read()
        finally:
            conn.close()

    def call(self, method, resource, form=None, body=None, token=None, headers=None):
        """An API request to base_url + resource. `form` is a list of (name, value)
        pairs (or a dict) sent form-encoded; `token` adds "Authorization: OAuth2 ...".
        Gives (status, body text)."""
        hdrs = {"Accept": "application/json"}
        if form is not None:
            items = form.items() if isinstance(form, dict) else form
            body = form_encode(items)
            hdrs["Content-Type"] = "application/x-www-form-urlencoded"
        if token is not None:
            hdrs["Authorization"] = "OAuth2 " + token
        hdrs.update(headers or {})
        status, _, data = self.raw(method, "/3/" + resource, body=body, headers=hdrs)
        return status, data.decode("utf-8", "replace")

    def login(self, name=DEMO_USER[0], password=DEMO_USER[1]):
        """Logs in and gives the access token (raises AssertionError on refusal)."""
        status, text = self.call("POST", "login.json", form=[
            ("client_id", "4"), ("client_secret", CLIENT_SECRET), ("userName", name),
            ("password", password_digest(password, name)), ("ios_version", "1")])
        start = text.find("<access_token>")
        if status != 200 or start < 0:
            raise AssertionError("login failed: %d %s" % (status, text))
        return text[start + len("<access_token>"):text.index("</access_token>")]

    # -- admin --------------------------------------------------------------
    def admin(self, method, path, json=None):
        """An admin request; gives the reply's parsed JSON (or text). `path` is
        "/__admin/faults" or just "faults". For the status too, use admin_call()."""
        return self.admin_call(method, path, json=json)[1]

    def admin_call(self, method, path, json=None):
        """Like admin(), giving (status, parsed JSON or text)."""
        path = path.lstrip("/")
        if path.startswith("__admin/"):
            path = path[len("__admin/"):]
        body = jsonlib.dumps(json) if json is not None else None
        hdrs = {"Content-Type": "application/json"} if json is not None else {}
        status, _, data = self.raw(method, "/__admin/" + path, body=body, headers=hdrs)
        text = data.decode("utf-8", "replace")
        try:
            return status, jsonlib.loads(text)
        except ValueError:
            return status, text

    def requests(self):
        """The journal of API requests, oldest first."""
        return self.admin("GET", "requests")

    def clear_requests(self):
        self.admin("DELETE", "requests")

    def set_fault(self, faults=None, **kw):
        """Adds fault switches: set_fault(resource="file/safe.json", count=2,
        status=500, body=""), set_fault(dropAfterBytes=100), set_fault(delayMs=500,
        resource="login.json"), or set_fault([{...}, {...}])."""
        status, reply = self.admin_call("POST", "faults", json=faults if faults is not None else kw)
        if status != 200:
            raise AssertionError("fault refused: %s" % (reply,))
        return reply

    def clear_faults(self):
        self.admin("DELETE", "faults")

    def file_info(self, file_id):
        """{"length", "sha1", ...} of a stored file, or None when unknown."""
        status, info = self.admin_call("GET", "files/" + file_id)
        return info if status == 200 else None

    def revoke_tokens(self):
        self.admin("DELETE", "tokens")

    # -- lifetime -----------------------------------------------------------
    def stop(self):
        """Stops the server (SIGTERM, then SIGKILL) and removes temp folders."""
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc and self.proc.stdout:
            self.proc.stdout.close()
        self.proc = None
        for d in self._temp_dirs:
            shutil.rmtree(d, ignore_errors=True)
        self._temp_dirs = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def write_users_file(path, users):
    with open(path, "w", encoding="utf-8") as f:
        jsonlib.dump([{"name": u[0], "password": u[1], "phone": u[2] if len(u) > 2 else ""}
                      for u in users], f)


def start_devserver(data_dir=None, http=False, users=None, extra_args=None,
                    startup_timeout=30, port=0):
    """Starts quillbox-devserver on a free loopback port (or `port`) and waits for READY.
    data_dir=None uses a temp folder removed by stop(); `users` is a list of
    (name, password, phone) tuples; `extra_args` more flags (e.g. ["--fail",
    "login.json:1:500"]). Raises DevServerUnavailable when the binary is missing."""
    binary = devserver_binary()
    if not os.path.exists(binary):
        raise DevServerUnavailable(binary + " not built")
    work = tempfile.mkdtemp(prefix="quillbox-devserver-")
    temp_dirs = [work]
    if data_dir is None:
        data_dir = os.path.join(work, "data")
    args = [binary, "--port", str(port), "--data", data_dir]
    if http:
        args.append("--http")
    if users is not None:
        users_path = os.path.join(work, "users.json")
        write_users_file(users_path, users)
        args += ["--users", users_path]
    args += list(extra_args or [])
    log_path = os.path.join(work, "server.log")
    with open(log_path, "wb") as log:
        proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=log,
                                stdin=subprocess.DEVNULL)
    deadline = time.monotonic() + startup_timeout
    line = b""
    while time.monotonic() < deadline:
        line = proc.stdout.readline()
        if line.startswith(b"READY ") or not line:
            break
    if not line.startswith(b"READY "):
        proc.kill()
        proc.wait()
        with open(log_path, "rb") as f:
            err = f.read().decode("utf-8", "replace")
        shutil.rmtree(work, ignore_errors=True)
        raise RuntimeError("quillbox-devserver did not start: %s" % err)
    fields = dict(item.split("=", 1) for item in line.decode().split()[1:])
    return DevServer(proc, int(fields["port"]), fields.get("cert"), fields["base"],
                     data_dir, temp_dirs, log_path)
