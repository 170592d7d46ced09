#!/usr/bin/env bash
# Starts the real program with the demo switcher under Xvfb, sends some traffic, and saves the
# main window and each dialog as PNG in docs/ (or the folder given).
#   scripts/screenshots.sh [OUT_DIR] [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$root/docs}")
build=${2:-$root/build}
dir=$(mktemp -d)
display=:$((90 + RANDOM % 9))
Xvfb "$display" -screen 0 1024x768x24 -dpi 96 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; rm -rf "$dir"' EXIT
sleep 1
DISPLAY=$display "$build/quorvex" --demo --dir "$dir" --screenshots "$out" >/dev/null 2>&1 &
app=$!
for _ in $(seq 1 50); do (exec 3<>/dev/tcp/127.0.0.1/1250) 2>/dev/null && break; sleep 0.1; done
"$root/tools/quorvex-take" 3 11 >/dev/null
"$root/tools/quorvex-take" 7 2 >/dev/null
exec 3<>/dev/tcp/127.0.0.1/1250
printf '\r\x04I01\x13POLL' >&3  # ready screen, table listing, a status poll
sleep 0.5
exec 3>&-
wait $app || true
ls "$out"/*.png
