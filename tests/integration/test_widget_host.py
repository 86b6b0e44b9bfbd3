"""quillbox-weeapp-host without a browser: who may use the page, and what the
buttons hand to the URL opener."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sandbox import make_sandbox, read_journal, wait_for  # noqa: E402
from weeapphost import prepare_container, start_host  # noqa: E402


class WidgetHost(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.box = make_sandbox(user="alice")
        prepare_container(cls.box, None, "alice")
        cls.host = start_host(cls.box)

    @classmethod
    def tearDownClass(cls):
        cls.host.stop()
        cls.box.cleanup()

    def test_only_this_page_may_ask(self):
        h = self.host
        self_origin = {"Origin": "http://127.0.0.1:%d" % h.port}
        cases = [
            # (what, method, path, headers, token, expected status)
            ("page with the token in the address", "GET", "/?token=" + h.token, {}, False, 303),
            ("page with the cookie", "GET", "/", {}, True, 200),
            ("page without token", "GET", "/", {}, False, 403),
            ("page with a wrong token", "GET", "/?token=" + "0" * 32, {}, False, 403),
            ("script without token", "GET", "/page.js", {}, False, 403),
            ("picture without token", "GET", "/file/1", {}, False, 403),
            ("event stream without token", "GET", "/events", {}, False, 403),
            ("tap without token", "POST", "/api/appear", {}, False, 403),
            ("rebound name", "GET", "/", {"Host": "evil.example:%d" % h.port}, True, 403),
            ("rebound name, tap", "POST", "/api/appear", {"Host": "evil.example"}, True, 403),
            ("localhost by another name", "GET", "/", {"Host": "localhost:%d" % h.port}, True, 403),
            ("another port", "GET", "/", {"Host": "127.0.0.1:1"}, True, 403),
            ("foreign origin", "POST", "/api/appear", {"Origin": "http://evil.example"}, True, 403),
            ("null origin", "POST", "/api/appear", {"Origin": "null"}, True, 403),
            ("cross-site fetch", "POST", "/api/appear", {"Sec-Fetch-Site": "cross-site"}, True, 403),
            ("this page's origin", "POST", "/api/appear", self_origin, True, 204),
            ("an unknown view", "POST", "/api/click", self_origin, True, 400),
            ("picture not published", "GET", "/file/999", {}, True, 404),
        ]
        for what, method, path, headers, token, expected in cases:
            with self.subTest(what):
                body = {} if method == "POST" else None
                status, _ = h.request(method, path, body=body, headers=headers, token=token)
                self.assertEqual(status, expected)
        self.assertIn("refused POST /api/appear (foreign Origin)", h.log())

    def test_buttons_open_the_client_urls(self):
        buttons = self.host.buttons()
        self.assertEqual(sorted(buttons), sorted(["截屏存证", "拍照存证", "录像存证", "录音存证"]))
        for title in ("拍照存证", "录像存证", "录音存证"):
            status, _ = self.host.post("/api/click", {"view": buttons[title]})
            self.assertEqual(status, 204)
        urls = ["quillbox://saveEvidence/photo", "quillbox://saveEvidence/video",
                "quillbox://saveEvidence/audio"]
        self.assertEqual(wait_for(lambda: self.host.opened() == urls and urls, timeout=10), urls,
                         self.host.opened())
        journal = [e["url"] for e in read_journal(self.box.ui_journal) if e["event"] == "openURL"]
        self.assertEqual(journal, urls)


if __name__ == "__main__":
    unittest.main()
