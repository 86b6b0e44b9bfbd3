#!/bin/sh
# Legacy upload benchmark: `quillbox legacy-upload` (the older uploader, 1 MiB
# per request, one request after the other) of a large file to the reference
# service on loopback, against `curl -X POST -T FILE` sending the same file in
# one request to the same stream endpoint, and the peak memory of
# `quillbox legacy-upload`.
#
#   scripts/bench-legacy.sh [BUILD_DIR] [SIZE_MiB] [ROUNDS]   (defaults: build, 1024, 3)
#
# Each round runs both clients (their order alternating); the ratio is that of
# the median times (target: legacy >= 0.8 x curl), printed with MISSED when
# short of it. The service keeps its copies in memory when there is room, and
# each copy is dropped once its length is checked, so the disk's write-back
# never slows the one that runs second. Peak resident size from
# /usr/bin/time -v (target: < 32 MiB whatever the size).
. "$(dirname "$0")/bench-env.sh"
export BENCH_ROUNDS="${3:-3}"
exec python3 - <<'PY'
import os, re, shutil, statistics, subprocess, sys, tempfile, time
from bench_support import MiB, peak_rss_kib, random_file, size, user, quillbox as q
from sandbox import make_sandbox
from devserver import password_digest, start_devserver

rounds = max(1, int(os.environ["BENCH_ROUNDS"]))
shm = "/dev/shm"
in_memory = os.path.isdir(shm) and shutil.disk_usage(shm).free > 3 * size
data_root = tempfile.mkdtemp(prefix="quillbox-legacy-bench-", dir=shm if in_memory else None)
srv = start_devserver(users=[user], data_dir=os.path.join(data_root, "data"))
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
    subprocess.run(["cat", big], stdout=subprocess.DEVNULL, check=True)  # into the page cache
    env = box.env(QUILLBOX_CA_FILE=srv.cert_path)

    def new_file():
        status, text = srv.call("POST", "file/upload.json", token=token, form=[
            ("service", "uploadPlainFileMessage"), ("name", "b%d.bin" % time.monotonic_ns()),
            ("ftype", "08"), ("file0Len", str(size)), ("hfile0c", "0" * 40), ("format", "xml")])
        return re.search("<id>([^<]+)</id>", text).group(1)

    def received(file_id):
        # The service's copy has the whole length; then it is dropped.
        if srv.file_info(file_id)["length"] != size:
            sys.exit("the service holds a different length")
        data = os.path.join(data_root, "data", "files", file_id, "data")
        if os.path.exists(data):
            os.truncate(data, 0)

    def legacy_upload():
        file_id = new_file()
        t0 = time.monotonic()
        r = subprocess.run(["/usr/bin/time", "-v", q, "legacy-upload", big, "--file-id", file_id],
                           env=env, capture_output=True, text=True)
        wall = time.monotonic() - t0
        if r.returncode != 0:
            sys.exit("quillbox legacy-upload failed: " + r.stderr[-2000:])
        received(file_id)
        rss = peak_rss_kib(r.stderr)
        return wall, rss

    def curl_upload():
        file_id = new_file()
        url = "%sfile/upload.json?service=uploadPlainFileStream&id=%s" % (srv.base_url, file_id)
        r = subprocess.run(["curl", "-sS", "-o", "/dev/null", "-w", "%{time_total}",
                            "--cacert", srv.cert_path, "-X", "POST", "-T", big,
                            "-H", "Authorization: OAuth2 " + token,
                            "-H", 'Cookie: QBSESSION="%s"' % cookie,
                            "-H", "Content-Type: application/octet-stream", "-H", "Expect:", url],
                           capture_output=True, text=True, check=True)
        received(file_id)
        return float(r.stdout)

    curl_upload()  # warm-up, uncounted
    curl_s, legacy_s, rss = [], [], 0
    for i in range(rounds):
        pair = [curl_upload, legacy_upload] if i % 2 == 0 else [legacy_upload, curl_upload]
        for run in pair:
            if run is curl_upload:
                curl_s.append(run())
            else:
                wall, peak = run()
                legacy_s.append(wall)
                rss = max(rss, peak)
    c, l = statistics.median(curl_s), statistics.median(legacy_s)
    ratio = c / l
    print("file: %d MiB on loopback HTTPS (service's copies in %s), %d rounds, medians"
          % (size // MiB, "memory" if in_memory else "the temporary folder", rounds))
    print("curl -X POST -T (one request):  %7.2f s  %8.1f MiB/s  (rounds: %s)"
          % (c, size / MiB / c, " ".join("%.2f" % t for t in curl_s)))
    print("quillbox legacy-upload (1 MiB requests): %7.2f s  %8.1f MiB/s (whole command; rounds: %s)"
          % (l, size / MiB / l, " ".join("%.2f" % t for t in legacy_s)))
    print("ratio legacy/curl: %.2f (target >= 0.80) %s" % (ratio, "ok" if ratio >= 0.8 else "MISSED"))
    print("peak RSS quillbox legacy-upload: %.1f MiB (%d MiB file) (target < 32 MiB) %s"
          % (rss / 1024.0, size // MiB, "ok" if rss < 32 * 1024 else "MISSED"))
finally:
    box.cleanup()
    srv.stop()
    shutil.rmtree(data_root, ignore_errors=True)
PY
