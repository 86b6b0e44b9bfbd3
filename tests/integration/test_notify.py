"""System-wide notifications seen from outside: `quillbox notify post` against
observer sockets made by this script (an independent reader of the rendezvous
folder's layout), stale socket removal, and a private rendezvous folder."""
import os
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import unittest

BIN = os.environ.get("QUILLBOX_BIN_DIR", "")
QUILLBOX = os.path.join(BIN, "quillbox")


def socket_prefix(name: str) -> str:
    """File-name prefix of the sockets observing `name`: up to 24 bytes of the
    name with bytes outside [A-Za-z0-9._-] as '_', '~', the 64-bit FNV-1a hash
    of the name in 16 hex digits, '~'."""
    raw = name.encode("utf-8")
    readable = "".join(
        chr(b) if (chr(b).isascii() and (chr(b).isalnum() or chr(b) in "._-")) else "_"
        for b in raw[:24])
    h = 1469598103934665603
    for b in raw:
        h ^= b
        h = (h * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return "%s~%016x~" % (readable, h)


class NotifyTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="quillbox-notify-it-")
        self.dir = os.path.join(self.root, "rendezvous")
        self.env = dict(os.environ, QUILLBOX_NOTIFY_DIR=self.dir)
        self.sockets = []

    def tearDown(self):
        for s in self.sockets:
            s.close()
        shutil.rmtree(self.root, ignore_errors=True)

    def post(self, name):
        return subprocess.run([QUILLBOX, "notify", "post", name], env=self.env,
                              capture_output=True, text=True, timeout=60)

    def observer(self, name, suffix):
        os.makedirs(self.dir, mode=0o700, exist_ok=True)
        s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        s.bind(os.path.join(self.dir, socket_prefix(name) + suffix))
        s.settimeout(30)
        self.sockets.append(s)
        return s

    def test_post_reaches_matching_observers_only(self):
        name = "com.velmor.quillbox.server.screenshot"
        wanted = self.observer(name, "py-1")
        other = self.observer("com.velmor.other", "py-2")
        r = self.post(name)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(wanted.recv(4096), name.encode())
        other.settimeout(0.2)
        with self.assertRaises(socket.timeout):
            other.recv(4096)

    def test_names_outside_the_file_name_alphabet(self):
        for name in ("证据/截屏 \"quoted\"", "a" * 300):
            s = self.observer(name, "py-odd")
            r = self.post(name)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(s.recv(4096), name.encode())

    def test_post_without_observers_says_so_and_creates_a_private_folder(self):
        r = self.post("nobody.listens")
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertIn('quillbox: nobody observes "nobody.listens" (rendezvous folder %s)'
                      % self.dir, r.stderr)
        self.assertEqual(stat.S_IMODE(os.stat(self.dir).st_mode), 0o700)

    def test_stale_sockets_are_removed(self):
        name = "stale.check"
        live = self.observer(name, "py-live")
        dead = self.observer(name, "py-dead")
        dead_path = dead.getsockname()
        dead.close()  # its file stays, nobody reads it
        self.assertTrue(os.path.exists(dead_path))
        r = self.post(name)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertFalse(os.path.exists(dead_path))
        self.assertEqual(live.recv(4096), name.encode())

    def test_unusable_folder_fails_cleanly(self):
        path = os.path.join(self.root, "a-file")
        with open(path, "w") as f:
            f.write("x")
        env = dict(self.env, QUILLBOX_NOTIFY_DIR=path)
        r = subprocess.run([QUILLBOX, "notify", "post", "x"], env=env,
                           capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("is not a folder owned by this user", r.stderr)
        self.assertIn('quillbox: could not post "x"', r.stderr)


if __name__ == "__main__":
    if not os.access(QUILLBOX, os.X_OK):
        print("quillbox not built; skipped")
        sys.exit(77)
    unittest.main()
