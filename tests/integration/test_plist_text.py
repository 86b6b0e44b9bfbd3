"""Commands that put outside text into property lists refuse, at entry, text
that XML cannot carry: the message names the character, nothing is written."""
import os
import subprocess
import tempfile
import unittest

BIN = os.environ.get("QUILLBOX_BIN_DIR", "")
QUILLBOX = os.path.join(BIN, "quillbox")


class PlistTextTest(unittest.TestCase):
    def test_control_characters_are_refused_at_entry(self):
        with tempfile.TemporaryDirectory(prefix="quillbox-plist-text-") as root:
            env = dict(os.environ, QUILLBOX_APPS_ROOT=root, QUILLBOX_HOME=root)
            for command in (["record", "--no-register"], ["upload"]):
                for text, named in ((b"shot\x01.png", "U+0001"), (b"a\x1fb", "U+001F"),
                                    (b"bad\xff.png", "bytes that are not UTF-8")):
                    with self.subTest(command=command[0], text=text):
                        p = subprocess.run([QUILLBOX, *command, text], env=env,
                                           capture_output=True, timeout=30)
                        err = p.stderr.decode("utf-8", "replace")
                        self.assertEqual(p.returncode, 105, err)  # CLI11's validation error
                        self.assertIn(named, err)
                        self.assertIn("which a property list cannot carry", err)
            self.assertEqual(os.listdir(root), [])


if __name__ == "__main__":
    unittest.main()
