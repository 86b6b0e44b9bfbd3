"""What the upload benchmarks (bench-upload.sh, bench-legacy.sh) share: the
build's programs and the integration tests' sandbox and reference service, the
file size asked for, random files of that size and the peak memory that
/usr/bin/time -v reports."""
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.environ["QUILLBOX_SOURCE_DIR"], "tests", "integration"))
from sandbox import bin  # noqa: E402  (the path above first)

MiB = 1024 * 1024
# The benchmark's file size (BENCH_SIZE_MIB, set by the shell script).
size = int(os.environ["BENCH_SIZE_MIB"]) * MiB
# The account the benchmarks log in with: name, password, phone.
user = ("bench", "bench-pw", "")
quillbox = bin("quillbox")


def random_file(path, n):
    """Writes n random bytes to path."""
    with open(path, "wb") as f:
        subprocess.run(["head", "-c", str(n), "/dev/urandom"], stdout=f, check=True)


def peak_rss_kib(time_v_stderr):
    """The peak resident size in KiB from the report of /usr/bin/time -v."""
    return int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", time_v_stderr).group(1))
