"""Start quillbox-weeapp-host on a sandbox container and talk to its page (standard library).

    from weeapphost import start_host

    with start_host(box, server) as host:      # server: a DevServer or None
        host.url                               # http://127.0.0.1:PORT/?token=...
        status, body = host.post("/api/appear")
        host.request("GET", "/", headers={"Host": "evil.example"}, token=False)

The container gets what the client application would have left for a logged-in
user of `server` (its API base, a session the service accepts); the host runs
with a synthetic screen, no shutter sound, the UI journal of the sandbox and a
URL opener that only records the URLs (host.opened()) and exits with
`opener_status`. `args` go to the host's command line (--port N, --new-token);
each start logs to a file of its own in the sandbox.
"""

import http.client
import json
import os
import re
import signal
import subprocess

from sandbox import bin, wait_for

ADDRESS = re.compile(r"http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]{32})")


class Host:
    def __init__(self, proc, port, token, log_path, opened_path):
        self.proc = proc
        self.port = port
        self.token = token
        self.url = "http://127.0.0.1:%d/?token=%s" % (port, token)
        self.log_path = log_path
        self.opened_path = opened_path

    def request(self, method, path, body=None, headers=None, token=True):
        """One request; `token` sends the page's cookie. Gives (status, body bytes)."""
        hdrs = {"Host": "127.0.0.1:%d" % self.port}
        if token:
            hdrs["Cookie"] = "quillbox_token_%d=%s" % (self.port, self.token)
        if body is not None:
            hdrs["Content-Type"] = "application/json"
            body = json.dumps(body)
        hdrs.update(headers or {})
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            conn.request(method, path, body=body, headers=hdrs)
            resp = conn.getresponse()
            return resp.status, resp.read()
        finally:
            conn.close()

    def post(self, path, body=None, **kw):
        return self.request("POST", path, body=body if body is not None else {}, **kw)

    def view(self):
        """The widget's view tree, as the event stream gives it to a page that connects."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            conn.request("GET", "/events", headers={
                "Host": "127.0.0.1:%d" % self.port,
                "Cookie": "quillbox_token_%d=%s" % (self.port, self.token)})
            resp = conn.getresponse()
            event = None
            while True:
                line = resp.fp.readline().decode("utf-8").rstrip("\r\n")
                if line.startswith("event: "):
                    event = line[len("event: "):]
                elif line.startswith("data: ") and event == "view":
                    return json.loads(line[len("data: "):])
        finally:
            conn.close()

    def buttons(self):
        """{title: view id} of the widget's buttons."""
        found = {}

        def walk(v):
            if v["kind"] == "button":
                found[v["title"]] = v["id"]
            for s in v["subviews"]:
                walk(s)
        walk(self.view())
        return found

    def log(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def opened(self):
        """URLs the host handed to its URL opener, in order."""
        if not os.path.exists(self.opened_path):
            return []
        with open(self.opened_path, encoding="utf-8") as f:
            return f.read().split()

    def stop(self):
        """Stops the host; raises AssertionError when a sanitizer reported anything."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if not self.proc.stdout.closed:
            self.proc.stdout.close()
        log = self.log()
        for report in ("WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "runtime error:"):
            if report in log:
                raise AssertionError("quillbox-weeapp-host: " + log[log.index(report):][:4000])

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def prepare_container(box, server, user):
    """The client application's files for a user `server` knows, logged in."""
    box.write_plist("com.velmor.userinfo.plist", {"userName": user, "usernamelogin": user})
    if server is not None:
        box.write_plist("com.velmor.loacal.plist", {"url": server.base_url})
        box.write_plist("com.velmor.webinfo.plist", {"type": "0", "access_token": server.login()})


def start_host(box, server=None, popen_kw=None, args=(), opener_status=0, **env):
    """Starts the host on `box` (QUILLBOX_HOME is the container, so thumbnails go with uploads).
    A setting given as None is removed from the host's environment; `popen_kw` goes to Popen
    (another user to run as)."""
    opened = os.path.join(box.root, "opened.txt")
    opener = os.path.join(box.root, "open-url")
    with open(opener, "w") as f:
        f.write('#!/bin/sh\nprintf "%%s\\n" "$1" >> "%s"\nexit %d\n' % (opened, opener_status))
    os.chmod(opener, 0o755)
    extra = {"QUILLBOX_HOME": box.container}
    if server is not None and server.cert_path:
        extra["QUILLBOX_CA_FILE"] = server.cert_path
    extra.update(env)
    log_path = os.path.join(box.root, "host.log")
    starts = 1
    while os.path.exists(log_path):
        starts += 1
        log_path = os.path.join(box.root, "host-%d.log" % starts)
    host_env = box.env(**{k: v for k, v in extra.items() if v is not None})
    for name in [k for k, v in extra.items() if v is None]:
        host_env.pop(name, None)
    with open(log_path, "w") as log:
        proc = subprocess.Popen([bin("quillbox-weeapp-host"), "--url-opener", opener, *args],
                                env=host_env, stdout=subprocess.PIPE, stderr=log,
                                stdin=subprocess.DEVNULL, text=True, **(popen_kw or {}))
    line = proc.stdout.readline()
    match = ADDRESS.search(line)
    if not match:
        proc.kill()
        proc.wait()
        with open(log_path, encoding="utf-8", errors="replace") as f:
            raise RuntimeError("quillbox-weeapp-host did not start: %r %s" % (line, f.read()))
    return Host(proc, int(match.group(1)), match.group(2), log_path, opened)


__all__ = ["Host", "prepare_container", "start_host", "wait_for"]
