"""A desktop for tests: a private session bus, a notification server stand-in,
Xvfb, and the rule for missing prerequisites (standard library only).

    from desktop import SessionBus, StandIn, require

    require(["dbus-daemon"], python_modules=("dbus", "gi"))   # exit 77 (or fail under CI=true)
    with SessionBus() as bus, StandIn(bus) as server:
        env["DBUS_SESSION_BUS_ADDRESS"] = bus.address
        server.calls("Notify")            # the recorded calls, oldest first
        server.control("Invoke", 5, "1")  # ActionInvoked(5, "1") from the server
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

_HERE = os.path.dirname(os.path.abspath(__file__))

# Only what the tests need: one owner per name, anyone may talk to anyone.
_BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""


def skip_or_fail(reason):
    """A missing prerequisite: a failure under CI=true, else a visible skip (exit 77)."""
    if os.environ.get("CI") == "true":
        sys.stderr.write("FAILED: prerequisite missing under CI: %s\n" % reason)
        sys.exit(1)
    sys.stderr.write("skipped: %s\n" % reason)
    sys.exit(77)


def dbus_python():
    """A Python interpreter that has python3-dbus and GLib (Debian's, when the one
    running the tests is another), or None."""
    for candidate in (sys.executable, "/usr/bin/python3"):
        if candidate and os.access(candidate, os.X_OK) and subprocess.run(
                [candidate, "-c", "import dbus, dbus.mainloop.glib, gi.repository.GLib"],
                capture_output=True).returncode == 0:
            return candidate
    return None


def require(tools=(), dbus_modules=False):
    """Checks programs on PATH (and python3-dbus) before a test module runs."""
    gone = [t for t in tools if shutil.which(t) is None]
    if dbus_modules and dbus_python() is None:
        gone.append("python3-dbus with python3-gi")
    if gone:
        skip_or_fail("missing " + ", ".join(gone))


class SessionBus:
    """A dbus-daemon of its own: no service activation, gone after close()."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="qb-bus-")
        socket = os.path.join(self.dir, "bus")
        config = os.path.join(self.dir, "session.conf")
        with open(config, "w") as f:
            f.write(_BUS_CONFIG.format(socket=socket))
        self.proc = subprocess.Popen(
            ["dbus-daemon", "--config-file=" + config, "--nofork", "--print-address=1"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        self.address = self.proc.stdout.readline().decode().strip()
        if not self.address:
            self.close()
            raise RuntimeError("dbus-daemon did not start")

    def has_owner(self, name):
        out = subprocess.run(
            ["dbus-send", "--bus=" + self.address, "--print-reply", "--dest=org.freedesktop.DBus",
             "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:" + name],
            capture_output=True, text=True, timeout=10)
        return "boolean true" in out.stdout

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=10)
        self.proc.stdout.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class StandIn:
    """tests/integration/notification_server.py on `bus`, recording into a file."""

    def __init__(self, bus, screensaver=True):
        self.bus = bus
        self.log_path = os.path.join(bus.dir, "notifications.jsonl")
        args = [dbus_python(), os.path.join(_HERE, "notification_server.py"),
                "--address", bus.address, "--log", self.log_path]
        if not screensaver:
            args.append("--no-screensaver")
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        if self.proc.stdout.readline().strip() != b"READY":
            self.close()
            raise RuntimeError("the notification server stand-in did not start")

    def clear(self):
        open(self.log_path, "w").close()

    def calls(self, *names):
        """Recorded calls (and emitted signals), oldest first; only `names` when given."""
        if not os.path.exists(self.log_path):
            return []
        with open(self.log_path, encoding="utf-8") as f:
            lines = [json.loads(l) for l in f if l.strip()]
        return [l for l in lines if not names or l["call"] in names]

    def control(self, method, nid, key):
        subprocess.run(
            ["dbus-send", "--bus=" + self.bus.address, "--print-reply",
             "--dest=org.freedesktop.Notifications", "/org/freedesktop/Notifications",
             "org.quillbox.TestServer." + method, "uint32:%d" % nid, "string:" + key],
            check=True, capture_output=True, timeout=30)

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=10)
        self.proc.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def wait_readable_fifo(path, timeout=60.0):
    """Opens a FIFO for writing once a reader has opened it; gives the blocking fd or None."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
        except OSError:  # ENXIO: no reader yet
            time.sleep(0.02)
            continue
        os.set_blocking(fd, True)
        return fd
    return None
