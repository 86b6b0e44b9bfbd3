"""A Wayland desktop for integration tests and benchmarks (standard library only).

    from wayland_session import WaylandSession, missing_tools

    with WaylandSession(outputs=[("HEADLESS-1", "1280x720", "0 0", "normal")]) as w:
        w.env               # WAYLAND_DISPLAY, DISPLAY (its XWayland), XDG_RUNTIME_DIR, HOME
        w.popen_kw          # run a program as the session's user: Popen(..., **w.popen_kw)
        w.grim(path)        # the independent peer's picture of the same screen
        w.start_portal()    # session bus, pipewire, xdg-desktop-portal with its wlr backend

sway runs headless (WLR_BACKENDS=headless, WLR_RENDERER=pixman, no input
devices) with a known background picture on every output, as an ordinary
user: sway refuses root, so a test run as root (CI) runs the compositor and
every program that talks to it as the user "quillbox-session", made on first
use. own(path) hands a folder to that user. Everything started here is ended
by close(), each process by its id.
"""

import atexit
import glob
import os
import pwd
import shutil
import signal
import subprocess
import tempfile
import time

SESSION_USER = "quillbox-session"
CONVERT = "/usr/bin/convert" if os.path.exists("/usr/bin/convert") else "convert"
TOOLS = ["sway", "swaymsg", "grim", "Xwayland", "dbus-daemon", "dbus-send", CONVERT]
PORTAL_TOOLS = ["pipewire", "/usr/libexec/xdg-desktop-portal", "/usr/libexec/xdg-desktop-portal-wlr",
                "/usr/libexec/xdg-desktop-portal-gtk", "/usr/libexec/xdg-permission-store"]
# Debian 12's wlr backend has grim write the portal's picture here.
PORTAL_FILE = "/tmp/out.png"


def missing_tools(portal=False):
    """The programs this module needs that are not installed."""
    need = TOOLS + (PORTAL_TOOLS if portal else [])
    return [t for t in need if shutil.which(t) is None and not os.access(t, os.X_OK)]


def session_user():
    """(uid, gid) to run the desktop as: this process's own, or the made user when root."""
    if os.geteuid() != 0:
        return os.getuid(), os.getgid()
    try:
        pw = pwd.getpwnam(SESSION_USER)
    except KeyError:
        subprocess.run(["useradd", "--system", "--user-group", "--no-create-home",
                        "--home-dir", "/nonexistent", "--shell", "/usr/sbin/nologin",
                        SESSION_USER], check=True, capture_output=True)
        pw = pwd.getpwnam(SESSION_USER)
    return pw.pw_uid, pw.pw_gid


_picture = []


def known_picture():
    """The desktop's background (made once a process): smooth and busy parts in many
    colours, text and sharp edges."""
    if not _picture:
        folder = tempfile.mkdtemp(prefix="qb-background-")
        atexit.register(shutil.rmtree, folder, True)
        path = os.path.join(folder, "background.png")
        subprocess.run([CONVERT, "-size", "320x180", "-seed", "11", "plasma:fractal",
                        "-scale", "1280x720", "-seed", "5", "-attenuate", "0.4", "+noise", "Uniform",
                        "-fill", "white", "-draw", "rectangle 40,40 420,130", "-fill", "black",
                        "-pointsize", "40", "-draw", "text 60,105 'quillbox 0123'",
                        "-depth", "8", "-type", "TrueColor", path],
                       check=True, capture_output=True, timeout=120)
        os.chmod(folder, 0o755)
        _picture.append(path)
    return _picture[0]


def rgb(path):
    """The picture's pixels as raw 8-bit RGB (ImageMagick)."""
    return subprocess.run([CONVERT, path, "-alpha", "off", "-depth", "8", "rgb:-"],
                          check=True, capture_output=True, timeout=120).stdout


def size(path):
    out = subprocess.run([CONVERT, path, "-format", "%w %h", "info:"], check=True,
                         capture_output=True, text=True, timeout=60).stdout
    return tuple(int(v) for v in out.split())


class WaylandSession:
    """sway headless with `outputs` [(name, mode "WxH", position "X Y", transform)]."""

    def __init__(self, outputs=(("HEADLESS-1", "1280x720", "0 0", "normal"),), timeout=30):
        self.uid, self.gid = session_user()
        self.procs = []
        self.dir = tempfile.mkdtemp(prefix="qb-wayland-")
        os.chmod(self.dir, 0o700)
        self.own(self.dir)
        self.popen_kw = {}
        if os.geteuid() == 0:
            self.popen_kw = dict(user=self.uid, group=self.gid, extra_groups=[])
        try:
            self._start_sway(outputs, timeout)
        except BaseException:
            self.close()
            raise

    def own(self, path):
        """Hands `path` (and all below it) to the session's user."""
        if os.geteuid() != 0:
            return
        os.chown(path, self.uid, self.gid)
        for root, dirs, files in os.walk(path):
            for n in dirs + files:
                os.lchown(os.path.join(root, n), self.uid, self.gid)

    def base_env(self):
        return {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "XDG_RUNTIME_DIR": self.dir,
                "HOME": self.dir, "LANG": "C.UTF-8", "NO_AT_BRIDGE": "1", "GTK_A11Y": "none"}

    def start(self, cmd, env, log_name):
        """Starts `cmd` as the session's user in a process group of its own."""
        log = open(os.path.join(self.dir, log_name), "wb")
        p = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                             start_new_session=True, cwd=self.dir, **self.popen_kw)
        log.close()
        self.procs.append(p)
        return p

    def log(self, name):
        path = os.path.join(self.dir, name)
        if not os.path.exists(path):
            return ""
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def _start_sway(self, outputs, timeout):
        self.background = os.path.join(self.dir, "background.png")
        shutil.copyfile(known_picture(), self.background)
        lines = ["output * bg %s stretch" % self.background]
        for name, mode, pos, transform in outputs:
            lines.append("output %s mode %s pos %s transform %s" % (name, mode, pos, transform))
        # The X display sway gives its clients (its XWayland, started on first use).
        lines.append("exec sh -c 'printf \"%%s\\n\" \"$DISPLAY\" > %s/xdisplay'" % self.dir)
        config = os.path.join(self.dir, "sway.config")
        with open(config, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.own(self.dir)
        env = dict(self.base_env(), WLR_BACKENDS="headless", WLR_RENDERER="pixman",
                   WLR_LIBINPUT_NO_DEVICES="1", WLR_HEADLESS_OUTPUTS=str(len(outputs)))
        self.sway = self.start(["sway", "-c", config], env, "sway.log")
        deadline = time.monotonic() + timeout
        sockets = []
        while time.monotonic() < deadline and self.sway.poll() is None:
            sockets = [s for s in glob.glob(os.path.join(self.dir, "wayland-*"))
                       if not s.endswith(".lock")]
            ipc = glob.glob(os.path.join(self.dir, "sway-ipc.*.sock"))
            if sockets and ipc and os.path.exists(os.path.join(self.dir, "xdisplay")):
                break
            time.sleep(0.05)
        else:
            raise RuntimeError("sway did not start: " + self.log("sway.log")[-2000:])
        with open(os.path.join(self.dir, "xdisplay")) as f:
            xdisplay = f.read().strip()
        self.env = dict(self.base_env(), WAYLAND_DISPLAY=os.path.basename(sockets[0]),
                        DISPLAY=xdisplay, SWAYSOCK=ipc[0])
        # The background is drawn by swaybg once it is up: wait until a spot
        # near each output's corner shows it (sway's own background is black).
        probe = os.path.join(self.dir, "probe.ppm")
        spots = [tuple(int(v) + 40 for v in pos.split()) for _, _, pos, _ in outputs]
        while time.monotonic() < deadline:
            if self.run(["grim", "-t", "ppm", probe], check=False).returncode == 0:
                with open(probe, "rb") as f:
                    data = f.read()
                # "P6\nW H\n255\n", then the pixels.
                ends = [data.index(b"\n")]
                for _ in range(2):
                    ends.append(data.index(b"\n", ends[-1] + 1))
                magic, (w, _) = data[:2], data[ends[0] + 1:ends[1]].split()
                pixels = data[ends[2] + 1:]
                # The layout's left and top edges are the smallest positions.
                left = min(x for x, _ in spots) - 40
                top = min(y for _, y in spots) - 40
                at = [((y - top) * int(w) + x - left) * 3 for x, y in spots]
                if magic == b"P6" and all(pixels[i:i + 3] not in (b"", b"\0\0\0") for i in at):
                    return
            time.sleep(0.1)
        raise RuntimeError("sway showed no background: " + self.log("sway.log")[-2000:])

    def run(self, cmd, env=None, check=True, timeout=120):
        """Runs `cmd` as the session's user with the session's environment."""
        return subprocess.run(cmd, env=env or self.env, capture_output=True, check=check,
                              timeout=timeout, cwd=self.dir, **self.popen_kw)

    def grim(self, path):
        self.run(["grim", path])
        return path

    def _wait_for_name(self, env, name, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            r = self.run(["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                          "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                          "string:" + name], env=env, check=False)
            if b"boolean true" in r.stdout:
                return
            time.sleep(0.05)
        raise RuntimeError("%s did not come up on the session bus" % name)

    def start_portal(self, timeout=30):
        """The desktop portal with its wlr backend (screenshots) and the gtk one (Access), the
        screenshot permission granted to programs outside a sandbox (app id "") first."""
        if os.path.exists(PORTAL_FILE) and os.stat(PORTAL_FILE).st_uid != self.uid:
            os.remove(PORTAL_FILE)  # left by another user: the backend could not write it
        bus = os.path.join(self.dir, "bus")
        address = "unix:path=" + bus
        env = dict(self.env, DBUS_SESSION_BUS_ADDRESS=address, XDG_CURRENT_DESKTOP="sway:gnome")
        env.pop("DISPLAY", None)
        self.start(["dbus-daemon", "--session", "--nofork", "--address=" + address], env,
                   "dbus.log")
        deadline = time.monotonic() + timeout
        while not os.path.exists(bus) and time.monotonic() < deadline:
            time.sleep(0.02)
        self.run(["dbus-update-activation-environment", "WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP",
                  "XDG_RUNTIME_DIR", "HOME", "NO_AT_BRIDGE", "GTK_A11Y"], env=env)
        self.start(["pipewire"], env, "pipewire.log")
        self.start(["/usr/libexec/xdg-permission-store"], env, "permission-store.log")
        self._wait_for_name(env, "org.freedesktop.impl.portal.PermissionStore")
        self.run(["dbus-send", "--session", "--print-reply",
                  "--dest=org.freedesktop.impl.portal.PermissionStore",
                  "/org/freedesktop/impl/portal/PermissionStore",
                  "org.freedesktop.impl.portal.PermissionStore.SetPermission",
                  "string:screenshot", "boolean:true", "string:screenshot", "string:",
                  "array:string:yes"], env=env)
        self.start(["/usr/libexec/xdg-desktop-portal-wlr"], env, "portal-wlr.log")
        self.start(["/usr/libexec/xdg-desktop-portal-gtk"], env, "portal-gtk.log")
        self._wait_for_name(env, "org.freedesktop.impl.portal.desktop.wlr")
        self._wait_for_name(env, "org.freedesktop.impl.portal.desktop.gtk")
        self.start(["/usr/libexec/xdg-desktop-portal"], env, "portal.log")
        self._wait_for_name(env, "org.freedesktop.portal.Desktop")
        self.portal_env = env
        return env

    def _leftovers(self):
        """Processes of this session that no Popen here holds (started by sway or the bus)."""
        found = []
        marker = ("XDG_RUNTIME_DIR=" + self.dir).encode()
        for pid in os.listdir("/proc"):
            if not pid.isdigit() or int(pid) == os.getpid():
                continue
            try:
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if marker in f.read().split(b"\0"):
                        found.append(int(pid))
            except OSError:
                pass
        return found

    def close(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                try:
                    os.killpg(p.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
        for p in reversed(self.procs):
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait()
        for pid in self._leftovers():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
