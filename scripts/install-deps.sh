#!/usr/bin/env bash
# Installs what building, running and testing Quorvex needs on Debian 12 (run as root).
# Does nothing when everything is there already.
set -euo pipefail
# qt6-httpserver-dev serves the status page; its CMake files also need qt6-websockets-dev.
# chromium is the real browser of the status page's test; logrotate checks the package's rule.
# The MinGW-w64 cross compiler checks that every source compiles for Windows. openbox, xdotool
# and x11-utils (xprop, xev, xwininfo) run and watch the live window test. lintian checks the
# Debian package, man-db renders its manual pages.
packages=(build-essential cmake pkg-config qt6-base-dev qt6-base-dev-tools qt6-serialport-dev
          libgl-dev fonts-dejavu-core xvfb xauth dpkg-dev file libsystemd-dev
          clang libclang-rt-14-dev qt6-httpserver-dev qt6-websockets-dev chromium
          logrotate g++-mingw-w64-x86-64-posix openbox xdotool x11-utils lintian man-db)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
