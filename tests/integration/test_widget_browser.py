"""The widget host's page in a real browser: Debian's Chromium, headless, driven by
playwright-core (tests/browser/widget_page.mjs).

- Four buttons and the page's icon, nothing failing on the way; two taps on
  "截屏存证" give one countdown toast and one capture; the evidence prompt shows
  the picture and the file name; "存证" uploads it with the status-bar messages;
  the service then holds a byte-identical copy; an opened address says the
  opener took it. The page is refused under another name and to another site.
- A page left open while the host restarts on its port: with the kept token it
  comes back and taps work; with a new token it says the host was restarted,
  and a tap shows why it was refused.
- Five prompts open at once: one backdrop, the newest on top with the count of
  those waiting, the buttons still usable, every prompt answered in turn.

Without Chromium, Node.js or tests/browser/node_modules the test is skipped
(exit 77), and fails under CI=true. QUILLBOX_SCREENSHOT_DIR keeps the page's
screenshots (the README's picture)."""

# ctest-labels: threaded (run under ThreadSanitizer by make test-tsan)
import filecmp
import json
import os
import re
import shutil
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from devserver import DEMO_USER, start_devserver  # noqa: E402
from sandbox import bin, make_sandbox, read_journal, wait_for  # noqa: E402
from weeapphost import prepare_container, start_host  # noqa: E402

BROWSER_TESTS = os.path.join(HERE, "..", "browser")
CHROMIUM = "/usr/bin/chromium"
USER = DEMO_USER[0]
CHECK_PATH = "/pages/check/updateini.aspx"


def missing_prerequisites():
    missing = []
    if not os.access(CHROMIUM, os.X_OK):
        missing.append(CHROMIUM + " (Debian package chromium)")
    if not shutil.which("node"):
        missing.append("node")
    if not os.path.isdir(os.path.join(BROWSER_TESTS, "node_modules", "playwright-core")):
        missing.append("tests/browser/node_modules (make deps runs npm ci)")
    return missing


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    return list(struct.unpack(">II", head[16:24]))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class WidgetPage(unittest.TestCase):
    def setUp(self):
        self.server = start_devserver()
        self.addCleanup(self.server.stop)
        # One second: the two-second countdown toast is still up when the screen is grabbed.
        self.box = make_sandbox(user=USER, settings={"screenshotsecond": 1,
                                                     "screenshotsound": True})
        self.addCleanup(self.box.cleanup)
        prepare_container(self.box, self.server, USER)
        check_url = self.server.base_url.split("/3/")[0] + CHECK_PATH
        # A desktop's screen (16:9), not a phone's: the prompt's portrait frame must not squeeze it.
        self.host = start_host(self.box, self.server, QUILLBOX_UPDATE_URL=check_url,
                               QUILLBOX_SCREEN="synthetic:1280x720")
        self.addCleanup(self.host.stop)
        self.shots = os.environ.get("QUILLBOX_SCREENSHOT_DIR") or tempfile.mkdtemp(prefix="qb-shots-")
        os.makedirs(self.shots, exist_ok=True)

    def browse(self, flow, **env):
        run = subprocess.run(["node", "widget_page.mjs", flow, self.host.url, self.shots],
                             cwd=BROWSER_TESTS, env=dict(os.environ, **env), capture_output=True,
                             stdin=subprocess.DEVNULL, text=True, timeout=300)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr + self.host.log())
        return json.loads(run.stdout.strip().splitlines()[-1])

    def test_update_prompt_capture_preserve_and_upload(self):
        # The service announces a version newer than the bundle's.
        self.server.admin("POST", "update", json={"version": "9.9.9"})
        saw = self.browse("capture", WIDGET_EXPECT_UPDATE="1")
        self.assertEqual(saw["icon"], [200, "image/png"])
        self.assertEqual(saw["loadFailures"], [])
        # The first showing with a known container checked once and offered the update.
        self.assertEqual(saw["updateMessage"], "Sorelle(server)检测到新版本，是否更新？")
        self.assertEqual(saw["updateButtons"], ["暂不更新", "更新"])
        checks = [r for r in self.server.requests() if r["path"] == CHECK_PATH]
        self.assertEqual(len(checks), 1, checks)
        self.assertEqual(saw["buttons"], ["截屏存证", "拍照存证", "录像存证", "录音存证"])
        self.assertEqual(saw["toast"], "1秒之后开始截屏")
        self.assertEqual(saw["promptTitle"], "截屏成功")
        self.assertEqual(saw["promptButtons"], ["稍后存证", "存证"])
        # The page took the toast down and said so before the grab.
        self.assertTrue(saw["toastGoneBeforePrompt"])
        self.assertNotIn("did not confirm", self.host.log())
        # The widget's own texts (no counts).
        self.assertEqual((saw["queued"], saw["finished"]),
                         ("添加 1 个任务到上传队列！", "有 1 个任务上传完成!"), saw)

        # The label names the one stored file, whose picture the prompt showed.
        folder = os.path.join(self.box.documents, "ScreenShot", USER)
        self.assertEqual(os.listdir(folder), [saw["fileName"]])
        self.assertRegex(saw["fileName"], r"^ScreenShot_\d{8}_\d{6}\.png$")
        path = os.path.join(folder, saw["fileName"])
        self.assertEqual(saw["pictureSize"], png_size(path))
        # The portrait frame shows the whole landscape screen, not squeezed:
        # black bands above and below it (ImageMagick reads the page's pixels).
        self.assertGreater(saw["pictureSize"][0], saw["pictureSize"][1])
        box = saw["pictureBox"]
        shown = os.path.join(self.shots, "widget-prompt.png")

        def darkest_band_max(top, height):
            crop = "%dx%d+%d+%d" % (box["width"] - 4, height, box["x"] + 2, box["y"] + top)
            out = subprocess.run(["convert", shown, "-crop", crop, "+repage", "-colorspace",
                                  "Gray", "-format", "%[fx:maxima]", "info:"],
                                 capture_output=True, text=True, check=True).stdout
            return float(out)
        band = int(box["height"] * 0.15)
        self.assertLess(darkest_band_max(2, band), 0.05)
        self.assertLess(darkest_band_max(int(box["height"]) - band - 2, band), 0.05)
        self.assertGreater(darkest_band_max(int(box["height"] / 2) - 5, 10), 0.05)

        # Two taps within the countdown: one countdown, one capture.
        journal = read_journal(self.box.ui_journal)
        countdowns = [e for e in journal if e["event"] == "toast" and "秒之后开始截屏" in e["text"]]
        prompts = [e for e in journal if e["event"] == "alert" and e["tag"] == 0]
        self.assertEqual((len(countdowns), len(prompts)), (1, 1), journal)
        self.assertIn({"tag": 0, "index": 1, "by": "user"},
                      [{k: e[k] for k in ("tag", "index", "by")} for e in journal
                       if e["event"] == "alertAnswer"])

        # The service holds a byte-identical copy.
        store = self.box.read_plist("com.velmor.files.property.plist")
        record = [r for r in store[USER] if r["path"] == path][0]
        info = self.server.file_info(record["fileID"])
        self.assertTrue(filecmp.cmp(info["dataPath"], path, shallow=False))
        self.assertTrue(os.path.exists(os.path.join(self.shots, "widget-prompt.png")))
        self.assertEqual(saw["opened"], ["quillbox://saveEvidence/photo", "open-url 已接收"])

        # The page under another name, and a tap from another site, are refused.
        self.assertEqual(saw["reboundStatus"], 403)
        self.assertTrue(wait_for(lambda: "refused POST /api/click (foreign Origin)" in self.host.log(), timeout=60))
        self.assertEqual(len(os.listdir(folder)), 1)


    def test_page_outlives_a_restarted_host(self):
        self.host.stop()
        port = free_port()
        token_file = os.path.join(self.box.container, ".local", "share", "quillbox",
                                  "weeapp-host-%d.token" % port)
        hosts = [start_host(self.box, self.server, args=("--port", str(port)))]
        self.addCleanup(lambda: hosts[-1].stop())
        browser = subprocess.Popen(["node", "widget_page.mjs", "restart", hosts[0].url, self.shots],
                                   cwd=BROWSER_TESTS, stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

        def end_browser():
            if browser.poll() is None:
                browser.kill()
            browser.wait()
            for pipe in (browser.stdin, browser.stdout, browser.stderr):
                pipe.close()
        self.addCleanup(end_browser)
        steps, last = [], ""
        for line in browser.stdout:
            if not line.startswith("step: "):
                last = line
                continue
            steps.append(line.split()[1])
            hosts[-1].stop()
            if steps[-1] != "stop":
                args = ["--port", str(port)] + (["--new-token"] if steps[-1] == "new-token" else [])
                hosts.append(start_host(self.box, self.server, args=args))
            browser.stdin.write("go\n")
            browser.stdin.flush()
        self.assertEqual(browser.wait(timeout=300), 0,
                         browser.stderr.read() + "".join(h.log() for h in hosts))
        saw = json.loads(last)
        self.assertEqual(steps, ["stop", "same-token", "new-token"])
        first, same, new = hosts
        # Started again on its port, the host kept its token in an owner-only file.
        self.assertEqual(same.token, first.token)
        self.assertNotEqual(new.token, first.token)
        with open(token_file) as f:
            self.assertEqual(f.read().strip(), new.token)
        self.assertEqual(stat.S_IMODE(os.stat(token_file).st_mode), 0o600)

        self.assertEqual(saw["lost"], "连接已断开，重试中…")
        self.assertFalse(saw["noticeAfterReconnect"])
        self.assertEqual(same.opened()[-1], "quillbox://saveEvidence/video")
        self.assertIn("宿主程序已重新启动", saw["expired"])
        self.assertIn("http://127.0.0.1:%d/?token=" % port, saw["expired"])
        # The refused tap names its reason on the page; the host refused it and opened nothing.
        self.assertIn("点按“录音存证”失败", saw["notice"])
        self.assertIn("HTTP 403", saw["notice"])
        self.assertIn("refused POST /api/click (no token)", new.log())
        self.assertNotIn("quillbox://saveEvidence/audio", new.opened())

    def test_five_prompts_queue_under_one_backdrop(self):
        self.host.stop()
        self.host = start_host(self.box, self.server, opener_status=4)
        self.addCleanup(self.host.stop)
        saw = self.browse("prompts")
        folder = os.path.join(self.box.documents, "ScreenShot", USER)
        names = sorted(os.listdir(folder))
        self.assertEqual(len(names), 5)
        # Each capture's prompt came on top, over the ones still waiting.
        self.assertEqual(saw["captured"], names)
        self.assertEqual(saw["waiting"], [""] + ["还有 %d 个提示在下面等待" % n for n in range(1, 5)])
        self.assertEqual((saw["stacked"], saw["shownCount"], saw["backdrops"]), (5, 1, 1))
        # Then every one in turn, newest first, until none is left.
        self.assertEqual(saw["answered"], names[::-1])
        self.assertTrue(saw["alertsHidden"])
        answers = [e for e in read_journal(self.box.ui_journal) if e["event"] == "alertAnswer"]
        self.assertEqual([(e["tag"], e["index"], e["by"]) for e in answers], [(0, 0, "user")] * 5)
        # The opener that did not take its address is said so.
        self.assertEqual(saw["notTaken"], "open-url 未接收（退出状态 4）")


if __name__ == "__main__":
    bin("quillbox-weeapp-host")
    missing = missing_prerequisites()
    if missing:
        reason = "browser test needs " + ", ".join(missing)
        if os.environ.get("CI") == "true":
            sys.stderr.write("FAILED: %s\n" % reason)
            sys.exit(1)
        sys.stderr.write("skipped: %s\n" % reason)
        sys.exit(77)
    unittest.main()
