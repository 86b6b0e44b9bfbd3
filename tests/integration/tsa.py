"""A time-stamp authority that is not ours, for tests: `openssl ts -reply` behind a
small HTTP server on loopback, with a root and a TSA certificate made by the
`openssl` command (standard library only).

    with OpensslTsa(hold=True) as tsa:   # tsa.url, tsa.root (PEM to trust)
        ...                               # requests are held: tsa.seen() counts them
        tsa.release()                     # held requests are dropped unanswered;
                                          # from now on every request is answered
        tsa.replay = b"..."               # every request gets these bytes instead
"""

import os
import shutil
import subprocess
import sys
import tempfile
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

_CONFIG = """
[ca_ext]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[tsa_ext]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = critical,timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[tsa]
default_tsa = tsa_config
[tsa_config]
serial = {dir}/serial
signer_cert = {dir}/tsa.crt
signer_key = {dir}/tsa.key
certs = {dir}/tsa.crt
signer_digest = sha256
default_policy = 2.999.7
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
"""


def require_openssl():
    """Exits with 77 (skipped) when the openssl command is missing; fails under CI=true."""
    if shutil.which("openssl"):
        return
    if os.environ.get("CI") == "true":
        raise SystemExit("the openssl command is missing (make deps)")
    sys.stderr.write("skipped: the openssl command is missing\n")
    sys.exit(77)


def _run(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


class OpensslTsa:
    def __init__(self, hold=False):
        require_openssl()
        self.dir = tempfile.mkdtemp(prefix="qb-tsa-")
        self.config = os.path.join(self.dir, "tsa.cnf")
        with open(self.config, "w") as f:
            f.write(_CONFIG.format(dir=self.dir))
        with open(os.path.join(self.dir, "serial"), "w") as f:
            f.write("01\n")
        ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
        _run("req", "-x509", *ec, "-keyout", "root.key", "-out", "root.crt", "-days", "30",
             "-subj", "/CN=test root", "-config", self.config, "-extensions", "ca_ext",
             cwd=self.dir)
        _run("req", "-new", *ec, "-keyout", "tsa.key", "-out", "tsa.csr", "-subj", "/CN=test tsa",
             "-config", self.config, cwd=self.dir)
        _run("x509", "-req", "-in", "tsa.csr", "-CA", "root.crt", "-CAkey", "root.key",
             "-CAcreateserial", "-out", "tsa.crt", "-days", "30", "-extfile", self.config,
             "-extensions", "tsa_ext", cwd=self.dir)
        self.root = os.path.join(self.dir, "root.crt")
        self._lock = threading.Lock()
        self._seen = 0
        self.replay = None
        self._released = threading.Event()
        if not hold:
            self._released.set()
        self._server = ThreadingHTTPServer(("127.0.0.1", 0), self._handler())
        self._server.daemon_threads = True
        self.url = "http://127.0.0.1:%d/tsa" % self._server.server_address[1]
        threading.Thread(target=self._server.serve_forever, daemon=True).start()

    def seen(self):
        """How many requests arrived."""
        with self._lock:
            return self._seen

    def release(self):
        self._released.set()

    def _reply(self, query):
        with self._lock:  # `openssl ts -reply` keeps its serial number in a file
            q = os.path.join(self.dir, "query.tsq")
            r = os.path.join(self.dir, "reply.tsr")
            with open(q, "wb") as f:
                f.write(query)
            _run("ts", "-reply", "-queryfile", q, "-config", self.config, "-out", r, cwd=self.dir)
            with open(r, "rb") as f:
                return f.read()

    def _handler(self):
        tsa = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                with tsa._lock:
                    tsa._seen += 1
                if not tsa._released.is_set():
                    # Held while the authority is "down", then dropped without a reply.
                    tsa._released.wait(timeout=120)
                    self.close_connection = True
                    return
                body = tsa.replay or tsa._reply(query)
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        return Handler

    def stop(self):
        self._released.set()
        self._server.shutdown()
        self._server.server_close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
