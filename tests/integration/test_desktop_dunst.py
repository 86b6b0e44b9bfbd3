"""vigild with a real notification server: dunst on Xvfb and a private session bus.

The countdown toast is drawn (dunst keeps it: tests/integration/data/dunstrc),
the stored evidence equals the screen without it, and a screenshot taken while
the prompt is shown holds the prompt. QUILLBOX_DESKTOP_SCREENSHOT=PATH also
keeps the part of that screenshot where the prompt is (the README's picture).
A prompt answered from dunst's menu (which leaves it shown) is closed by the
daemon, so the next capture holds no prompt; QUILLBOX_DESKTOP_SCREENSHOT_DIR=DIR
keeps the screens and the evidence of that test.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop import SessionBus, require  # noqa: E402
from sandbox import bin, make_sandbox, read_journal, wait_for  # noqa: E402
from test_screen_x11 import Xvfb, rgba  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
WIDTH, HEIGHT = 800, 600


class DunstOnXvfb(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="qb-dunst-")
        self.x = Xvfb("%dx%dx24" % (WIDTH, HEIGHT))
        self.bus = SessionBus()
        self.env = dict(self.x.env, DBUS_SESSION_BUS_ADDRESS=self.bus.address)
        # dunst's menu (dunstctl context) runs this stand-in for dmenu: it picks
        # the first line holding the text of the file "choice".
        self.menu = os.path.join(self.tmp, "menu.sh")
        with open(self.menu, "w") as f:
            f.write('#!/bin/sh\ngrep -m1 -F -- "$(cat %s)"\n' % os.path.join(self.tmp, "choice"))
        os.chmod(self.menu, 0o755)
        config = os.path.join(self.tmp, "dunstrc")
        with open(os.path.join(HERE, "data", "dunstrc")) as f, open(config, "w") as out:
            out.write(f.read().replace("[urgency_normal]",
                                       "    dmenu = %s\n\n[urgency_normal]" % self.menu, 1))
        self.dunst = subprocess.Popen(["dunst", "-config", config], env=self.env,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertTrue(wait_for(lambda: self.bus.has_owner("org.freedesktop.Notifications"),
                                 timeout=60))
        self.box = make_sandbox(user="demo")
        self.daemon = None

    def tearDown(self):
        for p in (self.daemon, self.dunst):
            if p and p.poll() is None:
                p.send_signal(signal.SIGTERM)
                p.wait(timeout=10)
        self.bus.close()
        self.x.close()
        self.box.cleanup()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def screen(self, name):
        path = os.path.join(self.tmp, name)
        self.x.run("import", "-window", "root", path)
        return path

    def displayed(self):
        out = subprocess.run(["dunstctl", "count", "displayed"], env=self.env, capture_output=True,
                             text=True, timeout=10)
        return int(out.stdout.strip() or "0")

    def bare_screen(self):
        background = os.path.join(self.tmp, "background.png")
        subprocess.run(["convert", "-size", "%dx%d" % (WIDTH, HEIGHT), "gradient:#4a7fb5-#1b2f4a",
                        background], check=True, timeout=60)
        self.x.run("display", "-window", "root", background, check=False)
        return rgba(self.screen("bare.png"))

    def start_daemon(self):
        env = self.box.env(DISPLAY=self.x.display, QUILLBOX_SCREEN="x11", QUILLBOX_PROMPT="none",
                           QUILLBOX_UI="desktop,journal:" + self.box.ui_journal,
                           DBUS_SESSION_BUS_ADDRESS=self.bus.address)
        self.daemon = subprocess.Popen([bin("vigild")], env=env, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
        self.assertTrue(wait_for(lambda: os.listdir(self.box.notify_dir), timeout=60))
        return env

    def alerts(self):
        return [e for e in read_journal(self.box.ui_journal) if e["event"] == "alert"]

    def test_toast_stays_out_of_the_evidence_and_the_prompt_is_on_screen(self):
        bare = self.bare_screen()
        env = self.start_daemon()
        subprocess.run([bin("quillbox"), "trigger"], env=env, check=True, timeout=60)

        # The toast is on the screen (it would stay there)...
        self.assertTrue(wait_for(lambda: self.displayed() == 1
                                 and rgba(self.screen("toast.png")) != bare, timeout=60))
        # ...and not in the evidence.
        alerts = wait_for(self.alerts, timeout=30)
        self.assertTrue(alerts)
        evidence = alerts[0]["subviews"][0]["path"]
        self.assertEqual(rgba(evidence), bare)

        # The prompt is the one notification shown, and it is drawn.
        self.assertTrue(wait_for(lambda: self.displayed() == 1
                                 and rgba(self.screen("prompt.png")) != bare, timeout=60))
        keep = os.environ.get("QUILLBOX_DESKTOP_SCREENSHOT")
        if keep:
            subprocess.run(["convert", os.path.join(self.tmp, "prompt.png"), "-crop",
                            "470x200+%d+0" % (WIDTH - 470), "+repage", keep], check=True)

    def test_a_prompt_answered_from_the_menu_is_closed_before_the_next_capture(self):
        bare = self.bare_screen()
        env = self.start_daemon()
        subprocess.run([bin("quillbox"), "trigger"], env=env, check=True, timeout=60)
        self.assertTrue(wait_for(lambda: self.alerts() and self.displayed() == 1
                                 and rgba(self.screen("prompt.png")) != bare, timeout=90))
        # "稍后存证" from dunst's menu: dunst reports the action and keeps the
        # notification; the daemon closes it.
        with open(os.path.join(self.tmp, "choice"), "w") as f:
            f.write("#稍后存证 (截屏成功)")
        subprocess.run(["dunstctl", "context"], env=self.env, check=True, timeout=60)
        answers = wait_for(lambda: [e for e in read_journal(self.box.ui_journal)
                                    if e["event"] == "alertAnswer"], timeout=60)
        self.assertEqual([(a["index"], a["by"]) for a in answers], [(0, "user")])
        self.assertTrue(wait_for(lambda: self.displayed() == 0
                                 and rgba(self.screen("answered.png")) == bare, timeout=60))

        # The next capture holds neither the old prompt nor its own countdown.
        subprocess.run([bin("quillbox"), "trigger"], env=env, check=True, timeout=60)
        self.assertTrue(wait_for(lambda: len(self.alerts()) == 2, timeout=90))
        evidence = self.alerts()[1]["subviews"][0]["path"]
        self.assertEqual(rgba(evidence), bare)
        keep = os.environ.get("QUILLBOX_DESKTOP_SCREENSHOT_DIR")
        if keep:
            for name in ("prompt.png", "answered.png"):
                shutil.copy(os.path.join(self.tmp, name), os.path.join(keep, name))
            shutil.copy(evidence, os.path.join(keep, "second-evidence.png"))


if __name__ == "__main__":
    require(["Xvfb", "dbus-daemon", "dbus-send", "dunst", "dunstctl", "import", "display",
             "convert"])
    unittest.main()
