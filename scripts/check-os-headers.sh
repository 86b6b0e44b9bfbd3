#!/usr/bin/env bash
# The seam's rule: only Lib/Platform/ includes operating-system headers (POSIX
# and Linux headers, and the system libraries the platform wraps: X11, ALSA,
# libcurl, systemd, Wayland, libpng, libjpeg). The test and development
# programs (tests/, bench/, fuzz/, tools/quillbox-devserver/) may include them
# too; every other source (Lib/, vigild/, quillboxWeeApp/, tools/quillbox/,
# tools/quillbox-weeapp-host/) uses the seam. Prints each offending include
# and exits 1 when there is one.
#   scripts/check-os-headers.sh
set -euo pipefail
cd "$(dirname "$0")/.."
FORBIDDEN='unistd\.h|sys/|fcntl\.h|poll\.h|dlfcn\.h|X11/|alsa/|curl/|systemd/|wayland|netinet/|arpa/|netdb\.h|net/|linux/|pthread\.h|signal\.h|dirent\.h|spawn\.h|termios\.h|syslog\.h|sched\.h|pwd\.h|grp\.h|ifaddrs\.h|malloc\.h|strings\.h|semaphore\.h|png\.h|jpeglib\.h|turbojpeg\.h|dbus/|gio/|glib\.h'
CHECKED=(Lib vigild quillboxWeeApp tools/quillbox tools/quillbox-weeapp-host)
found=$(grep -rnE --include='*.cpp' --include='*.h' "^[[:space:]]*#[[:space:]]*include[[:space:]]*<($FORBIDDEN)" \
  "${CHECKED[@]}" | grep -v '^Lib/Platform/' || true)
if [ -n "$found" ]; then
  echo "$found"
  echo "lint: operating-system headers outside Lib/Platform/ (move that code into the seam)" >&2
  exit 1
fi
echo "lint: operating-system headers only in Lib/Platform/"
