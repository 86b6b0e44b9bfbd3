#!/usr/bin/env python3
"""The whole road once, on embedded defaults, with a report at the end.

A client container is laid out under BUILD/demo (the client application's
bundle, its settings, the logged-in user, the service's address, the stored
password), the reference service runs on loopback over HTTPS with its own
certificate, and vigild runs with a synthetic screen and a prompt policy that
confirms. `quillbox trigger` starts a capture; the demo waits for the upload to
finish and then shows what happened and checks the service's copy. The reference
service is also the time-stamp authority: the capture's proof (sidecar, Ed25519
signature, RFC 3161 time stamp) is checked with `quillbox proof verify` and with
the `openssl` command alone.
"""

import hashlib
import json
import os
import plistlib
import shutil
import signal
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))
from devserver import DEMO_USER, start_devserver  # noqa: E402
from sandbox import read_journal, wait_for  # noqa: E402

CONTAINER_ID = "5A0E1C7B-DEMO-4B6E-9C1A-QUILLBOX0001"


def write_plist(path, value):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        plistlib.dump(value, f)


def sha1_of(path):
    h = hashlib.sha1()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def show_proof(bindir, env, library, user, path, tsa_root):
    """The capture's proof, checked by us and by the openssl command alone."""
    folder = os.path.join(library, "Proofs", user)
    base = os.path.join(folder, os.path.basename(path))
    stamped = wait_for(lambda: os.path.exists(base + ".proof.tsr"), timeout=30)
    verify = subprocess.run([os.path.join(bindir, "quillbox"), "proof", "verify", path,
                             "--require-timestamp"], env=env, capture_output=True, text=True)
    result = json.loads(verify.stdout) if verify.stdout.strip() else {}
    signature = subprocess.run(["openssl", "pkeyutl", "-verify", "-pubin", "-inkey",
                                os.path.join(folder, "signer.pem"), "-rawin", "-in",
                                base + ".proof.json", "-sigfile", base + ".proof.sig"],
                               capture_output=True, text=True)
    stamp = subprocess.run(["openssl", "ts", "-verify", "-data", path, "-in", base + ".proof.tsr",
                            "-CAfile", tsa_root], capture_output=True, text=True)
    print("proof:         %s.proof.json (+ .sig, .tsr)" % base)
    print("  quillbox proof verify: %s, time stamp %s" % (
        ", ".join("%s %s" % kv for kv in result.get("checks", {}).items()) or verify.stderr.strip(),
        result.get("stampTime", "missing")))
    print("  openssl pkeyutl -verify: %s" % (signature.stdout.strip() or signature.stderr.strip()))
    print("  openssl ts -verify:      %s" % (stamp.stdout.strip() or stamp.stderr.strip()))
    c2pa = result.get("c2pa", {})
    print("content credentials (C2PA, inside the PNG): %s" % (
        "absent" if c2pa.get("manifest") == "absent" else
        "valid %s, trusted %s, %s by %s at %s (%s)" % (
            c2pa.get("valid"), c2pa.get("trusted"), c2pa.get("action"), c2pa.get("signer"),
            c2pa.get("time"), c2pa.get("timeSource"))))
    return bool(stamped) and verify.returncode == 0 and signature.returncode == 0 and \
        stamp.returncode == 0


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    bindir = os.path.join(build, "bin")
    os.environ["QUILLBOX_BIN_DIR"] = bindir
    root = os.path.join(build, "demo")
    shutil.rmtree(root, ignore_errors=True)
    apps = os.path.join(root, "Applications")
    container = os.path.join(apps, CONTAINER_ID)
    library = os.path.join(container, "Library")
    notify = os.path.join(root, "notify")
    journal = os.path.join(root, "ui.jsonl")
    keychain = os.path.join(root, "keychain.plist")
    os.makedirs(notify, mode=0o700)
    os.makedirs(os.path.join(container, "Documents"))

    name, password, phone = DEMO_USER
    print("== quillbox demo: %s" % root)
    server = start_devserver(data_dir=os.path.join(root, "service"))
    daemon = None
    try:
        print("reference service: %s (certificate %s)" % (server.base_url, server.cert_path))
        # What the client application would have written.
        write_plist(os.path.join(container, "quillbox.app", "Info.plist"),
                    {"CFBundleVersion": "1.3.07010"})
        write_plist(os.path.join(library, "com.velmor.info.plist"),
                    {"screenshotsecond": 3, "screenshotsound": False})
        write_plist(os.path.join(library, "com.velmor.userinfo.plist"),
                    {"userName": name, "usernamelogin": phone, "userlevel": 1})
        write_plist(os.path.join(library, "com.velmor.loacal.plist"), {"url": server.base_url})
        write_plist(keychain, [{"generic": "quillbox", "accessGroup": "com.velmor.quillbox",
                                "comment": password}])
        os.chmod(keychain, 0o600)

        env = dict(os.environ)
        env.pop("DISPLAY", None)
        env.update({
            "QUILLBOX_APPS_ROOT": apps,
            # The daemon's home is the container, so the thumbnails it writes go with the upload.
            "QUILLBOX_HOME": container,
            "QUILLBOX_NOTIFY_DIR": notify,
            "QUILLBOX_UI": "journal:" + journal,
            "QUILLBOX_PROMPT": "confirm",
            "QUILLBOX_SCREEN": "synthetic",
            "QUILLBOX_KEYCHAIN": keychain,
            "QUILLBOX_CA_FILE": server.cert_path,
            "QUILLBOX_TSA_URL": server.tsa_url,
            "QUILLBOX_TSA_CA_FILE": server.tsa_root,
        })
        # The automatic login: the stored login name is a mobile number, so the
        # account name is looked up first; the session then lands in the web-info plist.
        login = subprocess.run([os.path.join(bindir, "quillbox"), "login"], env=env,
                               capture_output=True, text=True)
        print("automatic login: %s" % (login.stdout.strip() or login.stderr.strip().splitlines()[-1:]))
        log_path = os.path.join(root, "vigild.log")
        log = open(log_path, "w")
        daemon = subprocess.Popen([os.path.join(bindir, "vigild")], env=env,
                                  stdout=subprocess.DEVNULL, stderr=log)
        if not wait_for(lambda: os.listdir(notify), timeout=10):
            raise SystemExit("vigild did not start; see " + log_path)
        print("vigild is running; posting the trigger (the capture counts down the 3 s of the demo settings)")
        subprocess.run([os.path.join(bindir, "quillbox"), "trigger"], env=env, check=True)

        def outcome():
            for e in read_journal(journal):
                if e["event"] == "statusBar" and e["kind"] == "finished":
                    return e
            return None

        finished = wait_for(outcome, timeout=90)
        events = read_journal(journal)
        shots = [e for e in events if e["event"] == "alert"]
        if not shots:
            raise SystemExit("no screenshot was taken; see " + log_path)
        path = shots[0]["subviews"][0]["path"]
        store = plistlib.load(open(os.path.join(library, "com.velmor.files.property.plist"), "rb"))
        record = next(r for r in store.get(name, []) if r["path"] == path)
        registered = wait_for(
            lambda: [r for r in server.admin("GET", "/__admin/registrations")
                     if r.get("sha1") == record["sha1"]], timeout=30)

        print()
        print("== report")
        for e in events:
            text = e.get("text") or e.get("title") or ""
            if e["event"] == "idleTimer":
                text = "screen lock %s" % ("held off" if e["disabled"] else "allowed again")
            extra = " -> button %d (%s)" % (e["index"], e["by"]) if e["event"] == "alertAnswer" else ""
            print("  ui %-11s %s%s" % (e["event"], text, extra))
        print("stored file:   %s (%d bytes)" % (path, os.path.getsize(path)))
        print("  content SHA-1 %s (sha1sum: %s)" % (record.get("hash"), sha1_of(path)))
        print("  keyed digest  %s, time %d, size %d" % (record["sha1"], record["time"], record["size"]))
        verify = subprocess.run([os.path.join(bindir, "quillbox"), "verify", path], env=env,
                                capture_output=True, text=True)
        print("  tamper check: %s" % ("verified" if verify.returncode == 0 else verify.stdout.strip()))
        print("registration:  %s" % ("confirmed, id %s" % registered[0].get("id") if registered
                                    else "NOT confirmed"))
        ok = bool(registered) and verify.returncode == 0 and record.get("hash") == sha1_of(path)
        ok = show_proof(bindir, env, library, name, path, server.tsa_root) and ok
        if finished and "上传完成" in finished["text"]:
            file_id = record.get("fileID")
            info = server.file_info(file_id) if file_id else {}
            same = info.get("sha1") == sha1_of(path) and info.get("length") == os.path.getsize(path)
            print("upload:        %s (file id %s)" % (finished["text"], file_id))
            print("  service copy: %s bytes, SHA-1 %s -> %s" % (
                info.get("length"), info.get("sha1"), "verified equal" if same else "DIFFERENT"))
            ok = ok and same
        else:
            print("upload:        did not finish (%s); see %s" % (finished and finished["text"], log_path))
            ok = False
        print("logs: %s, UI journal: %s, service log: %s" % (log_path, journal, server.log_path))
        print("demo %s" % ("OK" if ok else "FAILED"))
        return 0 if ok else 1
    finally:
        if daemon:
            daemon.send_signal(signal.SIGTERM)
            try:
                daemon.wait(timeout=5)
            except subprocess.TimeoutExpired:
                daemon.kill()
        server.stop()


if __name__ == "__main__":
    sys.exit(main())
