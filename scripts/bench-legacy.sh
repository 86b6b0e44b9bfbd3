#!/bin/sh
# Legacy upload benchmark: `quillbox legacy-upload` (the older uploader, 1 MiB
# per request) of a large file to the reference service on loopback, against
# `curl -X POST -T FILE` sending the same file in one request to the same
# stream endpoint, and the peak memory of `quillbox legacy-upload`.
#
#   scripts/bench-legacy.sh [BUILD_DIR] [SIZE_MiB]     (defaults: build, 1024)
#
# Prints the throughputs, their ratio, and the peak resident size from
# /usr/bin/time -v (target: < 32 MiB whatever the size).
. "$(dirname "$0")/bench-env.sh"
exec python3 - <<'PY'
import os, re, subprocess, sys, time
from bench_support import MiB, peak_rss_kib, random_file, size, user, quillbox as q
from sandbox import make_sandbox
from devserver import password_digest, start_devserver

srv = start_devserver(users=[user])
box = make_sandbox(user=user[0])
try:
    status, text = srv.call("POST", "file/upload.json", form=[
        ("service", "login"), ("userName", user[0]),
        ("password", password_digest(user[1], user[0])), ("ios_version", "1")])
    value = lambda tag: re.search("<%s>([^<]*)</%s>" % (tag, tag), text).group(1)
    token, cookie = value("accessToken"), value("cookieValue")
    box.write_plist("com.velmor.loacal.plist", {"url": srv.base_url})
    box.write_plist("com.velmor.webinfo.plist", {"access_token": token, "accessToken": token,
                                                 "cookieName": value("cookieName"),
                                                 "cookieValue": cookie})
    big = os.path.join(box.documents, "legacy_bench.bin")
    random_file(big, size)
    env = box.env(QUILLBOX_CA_FILE=srv.cert_path)

    def new_file():
        status, text = srv.call("POST", "file/upload.json", token=token, form=[
            ("service", "uploadPlainFileMessage"), ("name", "b%d.bin" % time.monotonic_ns()),
            ("ftype", "08"), ("file0Len", str(size)), ("hfile0c", "0" * 40), ("format", "xml")])
        return re.search("<id>([^<]+)</id>", text).group(1)

    def legacy_upload():
        file_id = new_file()
        t0 = time.monotonic()
        r = subprocess.run(["/usr/bin/time", "-v", q, "legacy-upload", big, "--file-id", file_id],
                           env=env, capture_output=True, text=True)
        wall = time.monotonic() - t0
        if r.returncode != 0:
            sys.exit("quillbox legacy-upload failed: " + r.stderr[-2000:])
        if srv.file_info(file_id)["length"] != size:
            sys.exit("the service holds a different length")
        rss = peak_rss_kib(r.stderr)
        return wall, rss

    def curl_upload():
        url = "%sfile/upload.json?service=uploadPlainFileStream&id=%s" % (srv.base_url, new_file())
        r = subprocess.run(["curl", "-sS", "-o", "/dev/null", "-w", "%{time_total}",
                            "--cacert", srv.cert_path, "-X", "POST", "-T", big,
                            "-H", "Authorization: OAuth2 " + token,
                            "-H", 'Cookie: QBSESSION="%s"' % cookie,
                            "-H", "Content-Type: application/octet-stream", "-H", "Expect:", url],
                           capture_output=True, text=True, check=True)
        return float(r.stdout)

    # Two rounds, alternating, best of each (the machine is shared).
    curl_s, legacy_s, rss = float("inf"), float("inf"), 0
    for _ in range(2):
        curl_s = min(curl_s, curl_upload())
        wall, peak = legacy_upload()
        legacy_s = min(legacy_s, wall)
        rss = max(rss, peak)
    print("file: %d MiB on loopback HTTPS" % (size // MiB))
    print("curl -X POST -T (one request):  %7.2f s  %8.1f MiB/s" % (curl_s, size / MiB / curl_s))
    print("quillbox legacy-upload (1 MiB requests): %7.2f s  %8.1f MiB/s (whole command)"
          % (legacy_s, size / MiB / legacy_s))
    print("ratio legacy/curl: %.2f" % (curl_s / legacy_s))
    print("peak RSS quillbox legacy-upload: %.1f MiB (%d MiB file) (target < 32 MiB)"
          % (rss / 1024.0, size // MiB))
    if rss >= 32 * 1024:
        sys.exit("peak memory above 32 MiB")
finally:
    box.cleanup()
    srv.stop()
PY
