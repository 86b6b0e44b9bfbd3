"""The evidence file store through `quillbox record`, `store list`, `verify` and `digest`.

Python's plistlib is the independent peer for the store's file format, and
sha1sum/md5sum for the digests.
"""

import hashlib
import json
import os
import plistlib
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sandbox import bin, make_sandbox  # noqa: E402

STORE = "com.velmor.files.property.plist"
RECORD_KEYS = ["type", "time", "sha1", "md5", "size", "path", "state", "hash"]
SECRET = "5d0c1a9e7b3f4c82a6e1d9047bc3f215"


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def write_bytes(path, data):
    with open(path, "wb") as f:
        f.write(data)


def keyed(hash_, time, size):
    return hashlib.sha1(("%s%d%d%s" % (hash_, time, size, SECRET)).encode()).hexdigest()


class StoreTest(unittest.TestCase):
    def setUp(self):
        self.q = bin("quillbox")
        self.box = make_sandbox(user="alice")
        self.shots = os.path.join(self.box.documents, "ScreenShot", "alice")
        os.makedirs(self.shots)

    def tearDown(self):
        self.box.cleanup()

    def run_q(self, *args, env=None, timeout=120):
        return subprocess.run([self.q] + list(args), env=env or self.box.env(),
                              capture_output=True, text=True, timeout=timeout)

    def shot(self, name, content):
        p = os.path.join(self.shots, name)
        with open(p, "wb") as f:
            f.write(content)
        return p

    def store(self):
        return self.box.read_plist(STORE)

    def json_lines(self, out):
        return [json.loads(line) for line in out.splitlines() if line.strip()]

    def test_layout_read_by_plistlib(self):
        a = self.shot("a.png", b"\x89PNG fake picture")
        r = self.run_q("record", a, "--no-register")
        self.assertEqual(r.returncode, 0, r.stderr)
        store = self.store()
        self.assertEqual(list(store.keys()), ["root", "alice"])
        self.assertEqual(store["root"], [])
        self.assertEqual(len(store["alice"]), 1)
        rec = store["alice"][0]
        self.assertEqual(sorted(rec.keys()), sorted(RECORD_KEYS))
        self.assertNotIn("fileID", rec)
        content = read_bytes(a)
        self.assertEqual(rec["hash"], hashlib.sha1(content).hexdigest())
        self.assertEqual(rec["sha1"], keyed(rec["hash"], rec["time"], len(content)))
        self.assertEqual((rec["type"], rec["size"], rec["state"], rec["md5"], rec["path"]),
                         (8, len(content), 0, "", os.path.realpath(a)))
        self.assertIsInstance(rec["time"], int)
        # The printed record is the stored one.
        self.assertEqual(self.json_lines(r.stdout), [rec])
        # --kind is kept.
        b = self.shot("b.png", b"bb")
        self.assertEqual(self.run_q("record", b, "--kind", "9", "--no-register").returncode, 0)
        self.assertEqual(self.store()["alice"][1]["type"], 9)

    def test_foreign_store_keeps_other_users(self):
        for fmt in (plistlib.FMT_XML, plistlib.FMT_BINARY):
            with self.subTest(fmt=fmt):
                bob = {"type": 8, "time": 1, "sha1": "", "md5": "", "size": 3,
                       "path": "/old/Documents/ScreenShot/bob/x.png", "state": 2,
                       "hash": "abc", "fileID": "srv-1"}
                old = {"type": 8, "time": 5, "sha1": "", "md5": "", "size": 9,
                       "path": "/old/Documents/ScreenShot/alice/keep.png", "state": 0}
                self.box.write_plist(STORE, {"root": [], "bob": [bob], "alice": [old]}, fmt=fmt)
                a = self.shot("a.png", b"evidence")
                r = self.run_q("record", a, "--no-register")
                self.assertEqual(r.returncode, 0, r.stderr)
                store = self.store()
                self.assertEqual(store["bob"], [bob])
                self.assertEqual(store["root"], [])
                self.assertEqual([x["path"] for x in store["alice"]],
                                 [old["path"], os.path.realpath(a)])
                listed = self.json_lines(self.run_q("store", "list").stdout)
                self.assertEqual(listed, store["alice"])

    def test_verify(self):
        a = self.shot("a.png", b"0123456789" * 1000)
        self.assertEqual(self.run_q("record", a, "--no-register").returncode, 0)
        rec = self.store()["alice"][0]
        r = self.run_q("verify", a)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        (v,) = self.json_lines(r.stdout)
        self.assertEqual(v, {"md5": rec["hash"], "size": rec["size"], "path": a,
                             "time": rec["time"], "sha1": rec["sha1"]})

        # A byte-identical copy elsewhere in Documents verifies through the original.
        other = os.path.join(self.box.documents, "Elsewhere")
        os.makedirs(other)
        copy = os.path.join(other, "copy.png")
        shutil.copyfile(a, copy)
        r = self.run_q("verify", copy)
        self.assertEqual(r.returncode, 0, r.stdout)
        self.assertEqual(self.json_lines(r.stdout)[0]["sha1"], rec["sha1"])

        # One byte changed.
        data = bytearray(read_bytes(a))
        data[5000] ^= 1
        write_bytes(a, bytes(data))
        r = self.run_q("verify", a, copy)
        self.assertEqual(r.returncode, 1)
        out = self.json_lines(r.stdout)
        self.assertEqual(out[0], {"path": a, "error": "tampered"})
        self.assertEqual(out[1]["path"], copy)
        data[5000] ^= 1
        write_bytes(a, bytes(data))
        self.assertEqual(self.run_q("verify", a).returncode, 0)

        # The recorded time, size or keyed digest changed in the store.
        for field, value in (("time", rec["time"] + 1), ("size", rec["size"] - 1),
                             ("sha1", "0" * 40)):
            with self.subTest(field=field):
                forged = dict(rec, **{field: value})
                self.box.write_plist(STORE, {"root": [], "alice": [forged]})
                r = self.run_q("verify", a)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(self.json_lines(r.stdout), [{"path": a, "error": "tampered"}])
        self.box.write_plist(STORE, {"root": [], "alice": [rec]})
        self.assertEqual(self.run_q("verify", a).returncode, 0)

        # Missing files and files without a record.
        stray = self.shot("stray.png", b"never recorded")
        r = self.run_q("verify", a, stray, os.path.join(self.shots, "gone.png"))
        self.assertEqual(r.returncode, 1)
        self.assertEqual([x.get("error") for x in self.json_lines(r.stdout)],
                         [None, "no record", "missing"])

    def test_record_refuses_files_outside_documents(self):
        outside = os.path.join(self.box.root, "outside.png")
        write_bytes(outside, b"x")
        r = self.run_q("record", outside)
        self.assertEqual(r.returncode, 1)
        self.assertIn("not a file under", r.stderr)
        self.assertIsNone(self.store())

    def test_without_container_or_user(self):
        env = self.box.env(QUILLBOX_APPS_ROOT=os.path.join(self.box.root, "nowhere"))
        for args in (["verify", "/x"], ["store", "list"], ["record", "/x"]):
            r = self.run_q(*args, env=env)
            self.assertEqual(r.returncode, 2, args)
            self.assertIn("no client container", r.stderr)
        self.box.set_user(None)
        a = self.shot("a.png", b"x")
        r = self.run_q("record", a)
        self.assertEqual(r.returncode, 2)
        self.assertIn("no current user", r.stderr)
        self.assertIsNone(self.store())

    def test_two_processes_upsert_concurrently(self):
        names = {}
        for who in ("p", "q"):
            d = os.path.join(self.box.documents, "bulk", who)
            os.makedirs(d)
            names[who] = []
            for i in range(500):
                p = os.path.join(d, "%d.png" % i)
                with open(p, "wb") as f:
                    f.write(b"%s-%d" % (who.encode(), i))
                names[who].append(p)
        procs = [subprocess.Popen([self.q, "record", "--no-register"] + names[w],
                                  env=self.box.env(), stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
                 for w in ("p", "q")]
        for p in procs:
            self.assertEqual(p.wait(timeout=600), 0)
        recs = self.store()["alice"]
        self.assertEqual(len(recs), 1000)
        self.assertEqual(sorted(r["path"] for r in recs),
                         sorted(os.path.realpath(p) for p in names["p"] + names["q"]))
        self.assertTrue(all(r["hash"] for r in recs))


class DigestCommandTest(unittest.TestCase):
    def setUp(self):
        self.q = bin("quillbox")
        self.dir = tempfile.mkdtemp(prefix="qb-digest-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def peer(self, tool, path):
        return subprocess.run([tool, path], capture_output=True, text=True,
                              check=True).stdout.split()[0]

    def test_files_and_texts(self):
        for size in (0, 4096, 3 * 4096, 4097, 12345):
            p = os.path.join(self.dir, "f%d" % size)
            with open(p, "wb") as f:
                f.write(os.urandom(size))
            for algo, tool in (("sha1", "sha1sum"), ("md5", "md5sum")):
                r = subprocess.run([self.q, "digest", algo, p], capture_output=True, text=True)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stdout.strip(), self.peer(tool, p), (algo, size))
        r = subprocess.run([self.q, "digest", "sha1", "--text", "abc"], capture_output=True, text=True)
        self.assertEqual(r.stdout.strip(), "a9993e364706816aba3e25717850c26c9cd0d89d")
        r = subprocess.run([self.q, "digest", "md5", "--text", "截屏"], capture_output=True, text=True)
        self.assertEqual(r.stdout.strip(), hashlib.md5("截屏".encode()).hexdigest())
        r = subprocess.run([self.q, "digest", "sha1", os.path.join(self.dir, "missing")],
                           capture_output=True, text=True)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout, "")
        r = subprocess.run([self.q, "digest", "sha256", "x"], capture_output=True, text=True)
        self.assertEqual(r.returncode, 105, r.stderr)  # CLI11's "value not allowed"
        self.assertIn("sha256 not in {sha1,md5}", r.stderr)


if __name__ == "__main__":
    unittest.main()
