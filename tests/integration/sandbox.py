"""A throw-away client container for integration tests (standard library only).

    from sandbox import make_sandbox, bin

    box = make_sandbox(user="alice")
    try:
        subprocess.run([bin("quillbox"), "store", "list"], env=box.env(), check=True)
    finally:
        box.cleanup()

Layout made under a fresh temporary folder <root>:

    <root>/Applications/<UUID>/quillbox.app/Info.plist   (CFBundleVersion = client_version)
    <root>/Applications/<UUID>/Documents/
    <root>/Applications/<UUID>/Library/com.velmor.userinfo.plist   ("userName", unless user is None)
    <root>/Applications/<UUID>/Library/com.velmor.info.plist       (settings, when given)
    <root>/home/                                                   (QUILLBOX_HOME)
    <root>/notify/                                                 (QUILLBOX_NOTIFY_DIR)
    <root>/ui.jsonl                                                (QUILLBOX_UI journal)

The API is kept small on purpose; other test modules import it.
"""

import json
import os
import plistlib
import shutil
import sys
import tempfile
import time
import uuid

USERINFO_PLIST = "com.velmor.userinfo.plist"
SETTINGS_PLIST = "com.velmor.info.plist"


def bin_dir():
    """QUILLBOX_BIN_DIR, else build/bin of the source tree."""
    d = os.environ.get("QUILLBOX_BIN_DIR")
    if d:
        return d
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "bin")


def bin(name):
    """Absolute path of a built program; exits the test run with 77 (skipped) when missing."""
    path = os.path.join(bin_dir(), name)
    if not os.access(path, os.X_OK):
        sys.stderr.write("skipped: %s not built\n" % path)
        sys.exit(77)
    return os.path.abspath(path)


class Sandbox:
    def __init__(self, user="alice", settings=None, client_version="1.3.07010"):
        self.root = tempfile.mkdtemp(prefix="qb-sandbox-")
        self.apps_root = os.path.join(self.root, "Applications")
        self.container = os.path.join(self.apps_root, str(uuid.uuid4()).upper())
        self.documents = os.path.join(self.container, "Documents")
        self.library = os.path.join(self.container, "Library")
        self.home = os.path.join(self.root, "home")
        self.notify_dir = os.path.join(self.root, "notify")
        self.ui_journal = os.path.join(self.root, "ui.jsonl")
        for d in (os.path.join(self.container, "quillbox.app"), self.documents, self.library,
                  self.home, self.notify_dir):
            os.makedirs(d, exist_ok=True)
        os.chmod(self.notify_dir, 0o700)
        self.write_plist(os.path.join(self.container, "quillbox.app", "Info.plist"),
                         {"CFBundleVersion": client_version})
        self.set_user(user)
        if settings is not None:
            self.write_plist(SETTINGS_PLIST, settings)

    def write_plist(self, name, value, fmt=plistlib.FMT_XML):
        """Writes a plist; a bare name goes into Library. Gives the absolute path."""
        path = name if os.path.isabs(name) else os.path.join(self.library, name)
        with open(path, "wb") as f:
            plistlib.dump(value, f, fmt=fmt)
        return path

    def read_plist(self, name):
        """Reads a plist (bare name: from Library); None when missing."""
        path = name if os.path.isabs(name) else os.path.join(self.library, name)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return plistlib.load(f)

    def set_user(self, user):
        """Records `user` as the logged-in user; None removes the user-info plist."""
        path = os.path.join(self.library, USERINFO_PLIST)
        if user is None:
            if os.path.exists(path):
                os.remove(path)
        else:
            self.write_plist(USERINFO_PLIST, {"userName": user})

    def env(self, **extra):
        """Environment for our programs (a copy of os.environ plus the sandbox settings)."""
        e = dict(os.environ)
        e.update({
            "QUILLBOX_APPS_ROOT": self.apps_root,
            "QUILLBOX_HOME": self.home,
            "QUILLBOX_NOTIFY_DIR": self.notify_dir,
            "QUILLBOX_UI": "journal:" + self.ui_journal,
            "QUILLBOX_SCREEN": "synthetic",
            "QUILLBOX_KEYCHAIN": os.path.join(self.home, "keychain.plist"),
        })
        e.pop("DISPLAY", None)
        e.update({k: str(v) for k, v in extra.items()})
        return e

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cleanup()


def make_sandbox(user="alice", settings=None, client_version="1.3.07010"):
    return Sandbox(user=user, settings=settings, client_version=client_version)


def wait_for(predicate, timeout=30.0, step=0.05):
    """Polls `predicate` until it gives a true value or `timeout` seconds pass; gives its last value."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def stored_files(folder):
    """Names of the files written whole in `folder`, sorted: an atomic write's
    temporary (".NAME.tmp.PID.N", renamed into place when done) is left out."""
    if not os.path.isdir(folder):
        return []
    return sorted(n for n in os.listdir(folder) if not n.startswith("."))


def read_journal(path):
    """The UI journal's events (one JSON object a line); [] when there is none yet."""
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]
