#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests, the demo and the benchmarks need.
# Idempotent: apt-get runs only for what is missing.
set -euo pipefail
PACKAGES=(
  build-essential cmake pkg-config git python3
  libcurl4-openssl-dev libplist-dev libxml2-dev libssl-dev openssl zlib1g-dev
  libpcre2-dev libpng-dev libdeflate-dev libjpeg62-turbo-dev libturbojpeg0-dev libx11-dev libxext-dev libxrandr-dev
  libasound2-dev libwayland-dev libwayland-bin wayland-protocols
  nlohmann-json3-dev libcli11-dev libcpp-httplib-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  xvfb x11-utils xterm imagemagick scrot iproute2 curl alsa-utils ffmpeg
  clang libclang-rt-14-dev clang-tidy clang-format
  libsystemd-dev systemd dbus dbus-x11 python3-dbus python3-gi dunst xdg-utils help2man man-db dpkg-dev lintian
  fonts-wqy-microhei chromium
  sway grim xwayland xdg-desktop-portal xdg-desktop-portal-wlr xdg-desktop-portal-gtk pipewire
  libpython3.11-testsuite
)
# One dpkg-query for all of them keeps the check quick when everything is there.
# dpkg-query fails when it has never heard of a package: that only means missing.
installed=" $( (dpkg-query -W -f='${Package} ${Status}\n' "${PACKAGES[@]}" 2>/dev/null || true) |
  awk '/ install ok installed$/ {print $1}' | tr '\n' ' ') "
missing=()
for p in "${PACKAGES[@]}"; do
  [[ $installed == *" $p "* ]] || missing+=("$p")
done
# The page tests run on the machine's Node.js (Debian's nodejs and npm where none is there).
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: every Debian package is installed"
else
  echo "install-deps: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# playwright-core for the browser tests, as the lock file pins it; it drives
# Debian's Chromium and never downloads a browser.
BROWSER_TESTS="$(dirname "$0")/../tests/browser"
INSTALLED="$BROWSER_TESTS/node_modules/.package-lock.json"
if [ ! -f "$INSTALLED" ] || [ "$BROWSER_TESTS/package-lock.json" -nt "$INSTALLED" ]; then
  echo "install-deps: npm ci in tests/browser"
  (cd "$BROWSER_TESTS" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund)
fi
