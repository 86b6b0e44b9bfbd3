"""cmake --install and the Debian package: the layout, the user unit, the
completion, the manual pages, and the whole road run from a moved prefix with
the source and build trees out of sight (a private mount namespace hides them
where unshare may; elsewhere the moved prefix alone shows that nothing points
back)."""

import hashlib
import os
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop import require  # noqa: E402
from sandbox import bin_dir, make_sandbox, read_journal, wait_for  # noqa: E402

BUILD = os.path.abspath(os.path.join(bin_dir(), ".."))
SOURCE = os.path.abspath(os.environ.get("QUILLBOX_SOURCE_DIR",
                                        os.path.join(os.path.dirname(__file__), "..", "..")))
PROGRAMS = ["vigild", "quillbox", "quillbox-devserver"]


def tree(root):
    return sorted(os.path.relpath(os.path.join(d, f), root)
                  for d, _, files in os.walk(root) for f in files)


def hidden(argv):
    """argv run with the source and build trees covered by empty folders, when possible."""
    dirs = [d for d in (SOURCE, BUILD)
            if not any(d != o and d.startswith(o + os.sep) for o in (SOURCE, BUILD))]
    script = " && ".join("mount -t tmpfs tmpfs " + shlex.quote(d) for d in dirs)
    wrapped = ["unshare", "--mount", "sh", "-c", script + ' && exec "$@"', "sh"]
    probe = subprocess.run(wrapped + ["test", "!", "-e", os.path.join(BUILD, "bin")],
                           capture_output=True)
    if probe.returncode != 0:
        sys.stderr.write("note: cannot hide the build tree here (%s); the moved prefix alone "
                         "is checked\n" % probe.stderr.decode().strip())
        return argv
    return wrapped + argv


class Install(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="qb-install-")
        cls.prefix = os.path.join(cls.tmp, "prefix")
        subprocess.run(["cmake", "--install", BUILD, "--prefix", cls.prefix], check=True,
                       capture_output=True, timeout=300)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_layout_unit_completion_and_manual_pages(self):
        p = self.prefix
        for name in PROGRAMS:
            self.assertTrue(os.access(os.path.join(p, "bin", name), os.X_OK), name)
        self.assertEqual(tree(os.path.join(p, "share", "quillbox")),
                         tree(os.path.join(BUILD, "share", "quillbox")))
        unit = os.path.join(p, "lib", "systemd", "user", "vigild.service")
        with open(unit) as f:
            text = f.read()
        for line in ("Type=notify", "Restart=on-failure", "ExecStart=%s/bin/vigild" % p):
            self.assertIn(line + "\n", text)
        runtime = os.path.join(self.tmp, "runtime")
        os.makedirs(runtime, exist_ok=True)
        verify = subprocess.run(["systemd-analyze", "--user", "verify", unit], cwd=self.tmp,
                                capture_output=True, text=True, timeout=120,
                                env=dict(os.environ, XDG_RUNTIME_DIR=runtime,
                                         MANPATH=os.path.join(p, "share", "man")))
        self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)

        for page, flag in (("vigild", "QUILLBOX_UI"), ("quillbox", "trigger")):
            with open(os.path.join(p, "share", "man", "man1", page + ".1")) as f:
                self.assertIn(flag, f.read())

        completion = os.path.join(p, "share", "bash-completion", "completions", "quillbox")
        env = dict(os.environ, PATH=os.path.join(p, "bin") + os.pathsep + os.environ["PATH"])
        for words, expected in ((["quillbox", "tri"], "trigger"),
                                (["quillbox", "upload", "--ki"], "--kind")):
            script = ('source %s; COMP_WORDS=(%s); COMP_CWORD=%d; _quillbox; '
                      'printf "%%s\\n" "${COMPREPLY[@]}"'
                      % (shlex.quote(completion), " ".join(map(shlex.quote, words)),
                         len(words) - 1))
            out = subprocess.run(["bash", "-c", script], env=env, capture_output=True, text=True,
                                 timeout=60)
            self.assertEqual(out.stdout.split(), [expected], out.stderr)

    def test_debian_package_lists_programs_unit_completion_and_manual_pages(self):
        out = os.path.join(self.tmp, "package")
        run = subprocess.run(["cpack", "-G", "DEB", "--config",
                              os.path.join(BUILD, "CPackConfig.cmake"), "-B", out],
                             capture_output=True, text=True, timeout=600)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        deb = [f for f in os.listdir(out) if f.endswith(".deb")]
        self.assertEqual(len(deb), 1, os.listdir(out))
        deb = os.path.join(out, deb[0])
        listing = subprocess.run(["dpkg-deb", "-c", deb], check=True, capture_output=True,
                                 text=True).stdout
        paths = {line.split()[-1] for line in listing.splitlines()}
        for path in ["./usr/bin/" + n for n in PROGRAMS] + [
                "./usr/lib/systemd/user/vigild.service",
                "./usr/share/bash-completion/completions/quillbox",
                "./usr/share/man/man1/vigild.1", "./usr/share/man/man1/quillbox.1",
                "./usr/share/quillbox/vigild.bundle/Info.plist"]:
            self.assertIn(path, paths)
        depends = subprocess.run(["dpkg-deb", "-f", deb, "Depends"], check=True,
                                 capture_output=True, text=True).stdout
        for library in ("libc6", "libcurl4", "libsystemd0", "libxml2"):
            self.assertIn(library, depends)
        # libplist is the readers' reference in benchmarks, fuzzers and tests only.
        self.assertNotIn("libplist", depends)
        unit = subprocess.run(
            "dpkg-deb --fsys-tarfile %s | tar -xOf - ./usr/lib/systemd/user/vigild.service"
            % shlex.quote(deb), shell=True, check=True, capture_output=True, text=True).stdout
        self.assertIn("ExecStart=/usr/bin/vigild\n", unit)

    def test_whole_road_from_a_moved_prefix(self):
        from devserver import DEMO_USER, start_devserver
        moved = os.path.join(self.tmp, "moved")
        shutil.copytree(self.prefix, moved, symlinks=True)
        away = self.prefix + ".away"
        os.rename(self.prefix, away)  # the original prefix is gone while the road runs
        saved = os.environ.get("QUILLBOX_BIN_DIR")
        os.environ["QUILLBOX_BIN_DIR"] = os.path.join(moved, "bin")
        server = start_devserver()
        box = make_sandbox(user=DEMO_USER[0])
        daemon = None
        try:
            box.write_plist("com.velmor.loacal.plist", {"url": server.base_url})
            box.write_plist("com.velmor.webinfo.plist",
                            {"type": "0", "access_token": server.login()})
            env = box.env(QUILLBOX_PROMPT="confirm", QUILLBOX_CA_FILE=server.cert_path,
                          QUILLBOX_HOME=box.container,
                          PATH=os.path.join(moved, "bin") + os.pathsep + os.environ["PATH"])
            for name in ("QUILLBOX_BIN_DIR", "QUILLBOX_SOURCE_DIR", "QUILLBOX_MAIN_BUNDLE",
                         "QUILLBOX_SOUND"):
                env.pop(name, None)
            ready = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            ready.bind(os.path.join(box.root, "notify.sock"))
            ready.settimeout(30)
            env["NOTIFY_SOCKET"] = os.path.join(box.root, "notify.sock")
            log_path = os.path.join(box.root, "vigild.log")
            with open(log_path, "w") as log:
                daemon = subprocess.Popen(hidden(["vigild"]), env=env, stderr=log,
                                          stdout=subprocess.DEVNULL)
            # Ready only once the trigger is observed.
            self.assertEqual(ready.recv(4096), b"READY=1")
            self.assertTrue(os.listdir(box.notify_dir))
            ready.close()
            subprocess.run(hidden(["quillbox", "trigger"]), env=env, check=True, timeout=30)

            def finished():
                return [e for e in read_journal(box.ui_journal)
                        if e["event"] == "statusBar" and e["kind"] == "finished"]
            done = wait_for(finished, timeout=90)
            with open(log_path, encoding="utf-8", errors="replace") as f:
                log_text = f.read()
            self.assertEqual([e["text"] for e in done], ["有 1 个任务上传完成!    剩余任务数:0"],
                             log_text)
            self.assertNotIn("快门声音不可用", log_text)  # the bundled sound was found
            upload = [r for r in server.requests() if r["resource"] == "file/upload.json"]
            headers = {k.lower(): v for k, v in upload[0]["headers"]}
            self.assertEqual(headers["user-agent"], "QuillBoxiOS/1.3.07010")  # from the bundle
            path = [e for e in read_journal(box.ui_journal)
                    if e["event"] == "alert"][0]["subviews"][0]["path"]
            record = [r for r in box.read_plist("com.velmor.files.property.plist")[DEMO_USER[0]]
                      if r["path"] == path][0]
            with open(path, "rb") as f:
                self.assertEqual(server.file_info(record["fileID"])["sha1"],
                                 hashlib.sha1(f.read()).hexdigest())
        finally:
            if daemon:
                daemon.terminate()
                daemon.wait(timeout=10)
            server.stop()
            box.cleanup()
            os.rename(away, self.prefix)
            if saved is None:
                os.environ.pop("QUILLBOX_BIN_DIR")
            else:
                os.environ["QUILLBOX_BIN_DIR"] = saved


if __name__ == "__main__":
    require(["cmake", "cpack", "dpkg-deb", "dpkg-shlibdeps", "systemd-analyze", "man", "bash"])
    unittest.main()
