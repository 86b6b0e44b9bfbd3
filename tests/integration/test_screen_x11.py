#!/usr/bin/env python3
"""The X11 screen under Xvfb: the stored PNG holds exactly the screen's pixels.

Each case starts its own Xvfb (a free display chosen by Xvfb itself), paints the
root window with a picture, stores a capture with capture_bench (screen grab,
PNG encoding, atomic write) and compares it pixel for pixel with an independent
capture of the same screen by ImageMagick's `import -window root`.
Skipped (exit 77) when Xvfb or ImageMagick is missing.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

BIN_DIR = os.environ.get("QUILLBOX_BIN_DIR", os.path.join(os.getcwd(), "build", "bin"))
BENCH = os.path.join(BIN_DIR, "capture_bench")
CONVERT = "/usr/bin/convert" if os.path.exists("/usr/bin/convert") else "convert"


def missing_tools():
    need = ["Xvfb", "import", "display", "identify"]
    gone = [t for t in need if shutil.which(t) is None]
    if shutil.which(CONVERT) is None:
        gone.append("convert")
    if not os.access(BENCH, os.X_OK):
        gone.append(BENCH)
    return gone


class Xvfb:
    """An Xvfb server on a display it picks itself; stopped by close()."""

    def __init__(self, screen, extra=()):
        self.dir = tempfile.mkdtemp(prefix="qbxvfb.")
        rfd, wfd = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(wfd), "-screen", "0", screen, "-nolisten", "tcp",
             "-noreset", *extra],
            pass_fds=(wfd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(wfd)
        number = b""
        deadline = time.monotonic() + 20
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            chunk = os.read(rfd, 16)
            if not chunk:
                break
            number += chunk
        os.close(rfd)
        if not number.strip():
            self.close()
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number.decode().strip()
        self.env = dict(os.environ, DISPLAY=self.display, QUILLBOX_SCREEN="x11")

    def run(self, *cmd, check=True):
        return subprocess.run(list(cmd), env=self.env, check=check, capture_output=True,
                              timeout=120)

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def rgba(path):
    return subprocess.run([CONVERT, path, "-depth", "8", "rgba:-"], check=True,
                          capture_output=True, timeout=120).stdout


class ScreenX11Test(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="qbscreenx11.")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def paint_and_compare(self, screen, extra=(), expect_shm=None):
        width, height = (int(v) for v in screen.split("x")[:2])
        x = Xvfb(screen, extra)
        try:
            # A picture with smooth and busy parts, text and sharp edges.
            picture = os.path.join(self.tmp, "picture.png")
            subprocess.run(
                [CONVERT, "-size", f"{width}x{height}", "-seed", "7", "plasma:fractal",
                 "-fill", "white", "-draw", "rectangle 20,20 220,90",
                 "-fill", "black", "-pointsize", "24", "-draw", "text 30,65 'quillbox 0123'",
                 picture], check=True, capture_output=True, timeout=120)
            x.run("display", "-window", "root", picture, check=False)  # exits 1 even on success

            ours = os.path.join(self.tmp, "ours.png")
            out = x.run(BENCH, "--screen", "x11", "--count", "1", "--out", ours)
            summary = [l for l in out.stdout.decode().splitlines() if l.startswith("summary:")]
            self.assertEqual(len(summary), 1, out.stdout)
            theirs = os.path.join(self.tmp, "theirs.png")
            x.run("import", "-window", "root", theirs)

            size = subprocess.run(["identify", "-format", "%w %h", ours], check=True,
                                  capture_output=True).stdout.decode()
            self.assertEqual(size, f"{width} {height}")
            a, b = rgba(ours), rgba(theirs)
            self.assertEqual(len(a), width * height * 4)
            self.assertEqual(len(a), len(b))
            if a != b:
                first = next(i for i in range(len(a)) if a[i] != b[i])
                pixel = first // 4
                self.fail(f"pixel ({pixel % width},{pixel // width}) differs: "
                          f"ours {tuple(a[first - first % 4:][:4])} "
                          f"import {tuple(b[first - first % 4:][:4])}")
            # The picture really is on the screen (not a blank root window).
            self.assertGreater(len(set(a[i:i + 3] for i in range(0, len(a), 4 * 97))), 50)
            if expect_shm is not None:
                self.assertIn(f"shm={1 if expect_shm else 0}", summary[0])
        finally:
            x.close()

    def test_capture_equals_import_with_shared_memory(self):
        self.paint_and_compare("640x480x24", expect_shm=True)

    def test_capture_equals_import_without_shared_memory(self):
        # The server offers no MIT-SHM: the plain XGetImage road.
        self.paint_and_compare("500x300x24", extra=("-extension", "MIT-SHM"), expect_shm=False)

    def test_sixteen_bit_screen(self):
        # 5-6-5 pixels: the general conversion by the visual's masks.
        self.paint_and_compare("320x200x16")

    def test_full_hd_screen(self):
        self.paint_and_compare("1920x1080x24")

    def test_capture_without_display_fails_cleanly(self):
        env = dict(os.environ, DISPLAY=":4243", QUILLBOX_SCREEN="x11")
        out = subprocess.run([BENCH, "--count", "1", "--out", os.path.join(self.tmp, "x.png")],
                             env=env, capture_output=True, timeout=60)
        self.assertEqual(out.returncode, 1)
        self.assertIn(b"cannot open the X display", out.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.tmp, "x.png")))


if __name__ == "__main__":
    gone = missing_tools()
    if gone:
        print("test_screen_x11: skipped, missing " + ", ".join(gone), file=sys.stderr)
        sys.exit(77)
    unittest.main()
