"""cmake --install and the Debian packages: the layout, the user unit, the
completion of every program, the manual pages, --version, and the whole road
run from a moved prefix with the source and build trees out of sight (a
private mount namespace hides them where unshare may; elsewhere the moved
prefix alone shows that nothing points back)."""

import glob
import gzip
import hashlib
import os
import plistlib
import re
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
USER_PROGRAMS = ["vigild", "quillbox", "quillbox-weeapp-host"]  # the package quillbox
PROGRAMS = USER_PROGRAMS + ["quillbox-devserver"]               # and quillbox-devserver
MAN_SECTIONS = ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "ENVIRONMENT", "FILES", "EXAMPLES"]


def tree(root):
    return sorted(os.path.relpath(os.path.join(d, f), root)
                  for d, _, files in os.walk(root) for f in files)


def bundle_version(share, program):
    """The version a program's bundle carries, read with plistlib."""
    with open(os.path.join(share, "quillbox", program + ".bundle", "Info.plist"), "rb") as f:
        info = plistlib.load(f)
    return info.get("CFBundleVersion") or info["CFBundleShortVersionString"]


def readme_variables():
    with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
        return re.findall(r"^\| `(QUILLBOX_[A-Z0-9_]+)` \|", f.read(), re.M)


def man_sections(page):
    """{heading: text} of a manual page as man(1) shows it."""
    env = dict(os.environ, MANWIDTH="120", LC_ALL="C.UTF-8", MAN_KEEP_FORMATTING="")
    shown = subprocess.run(["man", "-l", page], env=env, capture_output=True, text=True,
                           check=True, timeout=60).stdout
    sections, heading = {}, None
    for line in shown.splitlines()[1:]:
        if re.fullmatch(r"[A-Z][A-Z ]*", line):
            heading = line
            sections[heading] = ""
        elif heading:
            sections[heading] += line + "\n"
    return sections


def completions(completion, words, path):
    script = ('source %s; COMP_WORDS=(%s); COMP_CWORD=%d; _quillbox; '
              'printf "%%s\\n" "${COMPREPLY[@]}"'
              % (shlex.quote(completion), " ".join(map(shlex.quote, words)), len(words) - 1))
    out = subprocess.run(["bash", "-c", script], capture_output=True, text=True, timeout=60,
                         env=dict(os.environ, PATH=path + os.pathsep + os.environ["PATH"]))
    return out.stdout.split(), out.stderr


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

    def test_layout_unit_completion_version_and_usage(self):
        p = self.prefix
        self.assertEqual(sorted(os.listdir(os.path.join(p, "bin"))), sorted(PROGRAMS))
        self.assertEqual(os.listdir(os.path.join(p, "lib", "quillbox", "plugins")),
                         ["libquillboxWeeApp.so"])
        self.assertEqual(tree(os.path.join(p, "share", "quillbox")),
                         tree(os.path.join(BUILD, "share", "quillbox")))
        unit = os.path.join(p, "lib", "systemd", "user", "vigild.service")
        with open(unit) as f:
            text = f.read()
        for line in ("Type=notify", "Restart=on-failure", "ExecStart=%s/bin/vigild" % p):
            self.assertIn(line + "\n", text)
        # With the README's drop-in that sets the applications root beside it.
        with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
            dropin = re.search(r"\n    (\[Service\]\n)    (Environment=QUILLBOX_APPS_ROOT=\S+\n)",
                               f.read())
        self.assertTrue(dropin)
        os.makedirs(unit + ".d", exist_ok=True)
        with open(os.path.join(unit + ".d", "override.conf"), "w") as f:
            f.write(dropin.group(1) + dropin.group(2))
        runtime = os.path.join(self.tmp, "runtime")
        os.makedirs(runtime, exist_ok=True)
        verify = subprocess.run(["systemd-analyze", "--user", "verify", unit], cwd=self.tmp,
                                capture_output=True, text=True, timeout=120,
                                env=dict(os.environ, XDG_RUNTIME_DIR=runtime,
                                         MANPATH=os.path.join(p, "share", "man")))
        self.assertEqual((verify.returncode, verify.stdout + verify.stderr), (0, ""))
        shutil.rmtree(unit + ".d")

        # Each program completes from the file named after it.
        completions_dir = os.path.join(p, "share", "bash-completion", "completions")
        self.assertEqual(sorted(os.listdir(completions_dir)), sorted(PROGRAMS))
        bin_path = os.path.join(p, "bin")
        for words, expected in ((["quillbox", "tri"], ["trigger"]),
                                (["quillbox", "upload", "--ki"], ["--kind"]),
                                (["vigild", "--apps-r"], ["--apps-root"]),
                                (["quillbox-weeapp-host", "--url-o"], ["--url-opener"]),
                                (["quillbox-devserver", "--allow-r"], ["--allow-remote"])):
            got, err = completions(os.path.join(completions_dir, words[0]), words, bin_path)
            self.assertEqual(got, expected, (words, err))

        # Without its bundle, --version says which file it lacks (the package's
        # test below reads the versions).
        missing = os.path.join(self.tmp, "no-bundle")
        out = subprocess.run([os.path.join(bin_path, "vigild"), "--version"], capture_output=True,
                             text=True, timeout=60,
                             env=dict(os.environ, QUILLBOX_MAIN_BUNDLE=missing))
        self.assertEqual((out.returncode, out.stdout), (1, ""))
        self.assertIn(missing + "/Info.plist", out.stderr)
        # The tool's usage errors name what is wrong, with the usage line and status 2.
        quillbox = os.path.join(bin_path, "quillbox")
        for args, message in ((["bogus"], 'quillbox: unknown command "bogus"'),
                              (["notify", "bogus"], 'quillbox notify: unknown command "bogus"'),
                              ([], "quillbox: a command is required"),
                              (["store"], "quillbox store: a command is required")):
            out = subprocess.run([quillbox] + args, capture_output=True, text=True, timeout=60)
            self.assertEqual(out.returncode, 2, (args, out.stderr))
            lines = out.stderr.splitlines()
            self.assertEqual(lines[0], message)
            self.assertTrue(lines[1].startswith("Usage: " + message.split(":")[0] + " COMMAND"),
                            lines)

    def test_debian_packages(self):
        out = os.path.join(self.tmp, "package")
        run = subprocess.run(["cpack", "-G", "DEB", "--config",
                              os.path.join(BUILD, "CPackConfig.cmake"), "-B", out],
                             capture_output=True, text=True, timeout=600)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        version = bundle_version(os.path.join(BUILD, "share"), "vigild")
        arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True,
                              check=True).stdout.strip()
        debs = {n: os.path.join(out, "%s_%s_%s.deb" % (n, version, arch))
                for n in ("quillbox", "quillbox-devserver")}
        self.assertEqual(sorted(f for f in os.listdir(out) if f.endswith(".deb")),
                         sorted(map(os.path.basename, debs.values())))

        def listing(deb):
            text = subprocess.run(["dpkg-deb", "-c", deb], check=True, capture_output=True,
                                  text=True).stdout
            return {line.split()[-1] for line in text.splitlines()
                    if not line.split()[-1].endswith("/")}

        def field(deb, name):
            return subprocess.run(["dpkg-deb", "-f", deb, name], check=True, capture_output=True,
                                  text=True).stdout.strip()

        user, dev = listing(debs["quillbox"]), listing(debs["quillbox-devserver"])
        self.assertEqual({f for f in user if f.startswith("./usr/bin/")},
                         {"./usr/bin/" + n for n in USER_PROGRAMS})
        self.assertEqual({f for f in user if f.endswith(".so")},
                         {"./usr/lib/quillbox/plugins/libquillboxWeeApp.so"})
        self.assertFalse([f for f in user if "devserver" in f])
        for path in ["./usr/share/man/man1/%s.1.gz" % n for n in USER_PROGRAMS] + [
                "./usr/share/bash-completion/completions/" + n for n in USER_PROGRAMS] + [
                "./usr/lib/systemd/user/vigild.service",
                "./usr/share/quillbox/vigild.bundle/Info.plist",
                "./usr/share/quillbox/quillboxWeeApp.bundle/Info.plist",
                "./usr/share/doc/quillbox/copyright", "./usr/share/doc/quillbox/changelog.gz",
                "./usr/share/doc/quillbox/README.md.gz"]:
            self.assertIn(path, user)
        self.assertEqual(dev, {
            "./usr/bin/quillbox-devserver", "./usr/share/man/man1/quillbox-devserver.1.gz",
            "./usr/share/bash-completion/completions/quillbox-devserver",
            "./usr/share/quillbox/quillbox-devserver.bundle/Info.plist",
            "./usr/share/doc/quillbox-devserver/copyright",
            "./usr/share/doc/quillbox-devserver/changelog.gz"})
        for package, libraries in (("quillbox", ("libc6", "libcurl4", "libsystemd0", "libxml2")),
                                   ("quillbox-devserver", ("libc6", "libssl3"))):
            deb = debs[package]
            self.assertEqual(field(deb, "Version"), version)
            for library in libraries:
                self.assertIn(library, field(deb, "Depends"))
            # libplist is the readers' reference in benchmarks, fuzzers and tests only.
            self.assertNotIn("libplist", field(deb, "Depends"))
            # A summary and a description below it.
            self.assertGreater(len(field(deb, "Description").splitlines()), 2)

        # Debian's own checks find no error and nothing to warn of.
        lint = subprocess.run(["lintian", "--fail-on", "error,warning"] + list(debs.values()),
                              capture_output=True, text=True, timeout=600)
        self.assertEqual(lint.returncode, 0, lint.stdout + lint.stderr)

        # Unpacked, as apt would lay them out: nothing points into the trees
        # they were built from.
        root = os.path.join(self.tmp, "unpacked")
        for deb in debs.values():
            subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
        usr = os.path.join(root, "usr")
        for path in tree(root):
            with open(os.path.join(root, path), "rb") as f:
                data = f.read()
            if path.endswith(".gz"):
                data = gzip.decompress(data)
            for d in (BUILD, SOURCE):
                at = data.find(d.encode())
                self.assertEqual(at, -1, "%s holds %r" % (path, data[at:at + 120]))
        with open(os.path.join(usr, "lib", "systemd", "user", "vigild.service")) as f:
            self.assertIn("ExecStart=/usr/bin/vigild\n", f.read())
        with gzip.open(os.path.join(usr, "share", "doc", "quillbox", "changelog.gz"), "rt") as f:
            self.assertTrue(f.readline().startswith("quillbox (%s) " % version))
        for name in PROGRAMS:
            run = subprocess.run([os.path.join(usr, "bin", name), "--version"],
                                 capture_output=True, text=True, timeout=60)
            self.assertEqual(run.stdout, "%s %s\n" % (name, bundle_version(
                os.path.join(usr, "share"), name)), run.stderr)

        # The manual pages: every section, without a warning of groff, and
        # whatis(1) can read their NAME.
        for name in PROGRAMS:
            page = os.path.join(usr, "share", "man", "man1", name + ".1.gz")
            sections = man_sections(page)
            self.assertEqual([h for h in sections if h in MAN_SECTIONS], MAN_SECTIONS, name)
            with gzip.open(page, "rb") as f:
                groff = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z"], input=f.read(),
                                       capture_output=True, timeout=60)
            self.assertEqual(groff.stderr.decode(), "", name)
            whatis = subprocess.run(["lexgrog", page], capture_output=True, text=True)
            self.assertEqual(whatis.returncode, 0, whatis.stdout + whatis.stderr)
            self.assertIn('"%s - ' % name, whatis.stdout)
            if name == "quillbox-devserver":
                self.assertIn("XDG_STATE_HOME", sections["ENVIRONMENT"])
                continue
            # The settings: the tool's page has the README's whole table, a
            # program's page what its --help names.
            help_text = subprocess.run([os.path.join(usr, "bin", name), "--help"],
                                       capture_output=True, text=True, timeout=60).stdout
            wanted = (readme_variables() if name == "quillbox"
                      else re.findall(r"\[(QUILLBOX_[A-Z0-9_]+)\]", help_text))
            self.assertTrue(wanted)
            for variable in wanted:
                self.assertIn(variable, sections["ENVIRONMENT"], name)
            # The container's layout and the keychain's format.
            for text in ("com.velmor.loacal.plist", "com.velmor.userinfo.plist",
                         "ScreenShot_YYYYMMDD_HHMMSS.png", "keychain.plist", "accessGroup",
                         "com.velmor.quillbox"):
                self.assertIn(text, sections["FILES"], name)

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
            # The widget host finds its plug-in in the moved prefix's lib/quillbox/plugins.
            host_env = {k: v for k, v in env.items() if k != "QUILLBOX_UI"}  # the page only
            host = subprocess.Popen(hidden(["quillbox-weeapp-host", "--url-opener", ""]),
                                    env=host_env,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            try:
                first = host.stdout.readline()
            finally:
                host.terminate()
                host_err = host.communicate(timeout=30)[1]
            self.assertTrue(first.startswith(
                "quillbox-weeapp-host: quillboxWeeAppController on http://127.0.0.1:"),
                first + host_err)
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
    require(["cmake", "cpack", "dpkg-deb", "dpkg-shlibdeps", "systemd-analyze", "man", "groff",
             "lexgrog", "lintian", "bash"])
    unittest.main()
