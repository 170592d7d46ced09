#!/usr/bin/env bash
# Starts the real program with the demo switcher under Xvfb, sends some traffic, and saves the
# main window, each dialog and an error box in front of Setup as PNG in docs/ (or the folder
# given); then, headless with the status page on, the page as headless Chromium shows it
# (status-page.png).
#   scripts/screenshots.sh [OUT_DIR] [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$root/docs}")
build=${2:-$root/build}
dir=$(mktemp -d)
display=:$((90 + RANDOM % 9))
Xvfb "$display" -screen 0 1024x768x24 -dpi 96 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
sleep 1
# A window manager, so that the error box in front of Setup shows with the title bars.
DISPLAY=$display openbox --sm-disable >/dev/null 2>&1 &
wm=$!
trap 'kill $wm $xvfb 2>/dev/null; rm -rf "$dir"' EXIT
sleep 1
# COM 16 is a device that does not exist: the error box in front of Setup (setup-error.png).
DISPLAY=$display "$build/quorvex" --demo --dir "$dir" --com "16=$dir/no-such-tty" \
    --screenshots "$out" >/dev/null 2>&1 &
app=$!
for _ in $(seq 1 50); do (exec 3<>/dev/tcp/127.0.0.1/1250) 2>/dev/null && break; sleep 0.1; done
"$root/tools/quorvex-take" 3 11 >/dev/null
"$root/tools/quorvex-take" 7 2 >/dev/null
exec 3<>/dev/tcp/127.0.0.1/1250
printf '\r\x04I01\x13POLL' >&3  # ready screen, table listing, a status poll
sleep 0.5
exec 3>&-
wait $app || true

# The status page, with a client logged in and some traffic in its history.
rm -f "$dir/quorvex.ini"
"$build/quorvex" --headless --demo --dir "$dir" --status 127.0.0.1:8125 >/dev/null 2>&1 &
app=$!
for _ in $(seq 1 50); do (exec 3<>/dev/tcp/127.0.0.1/1250) 2>/dev/null && break; sleep 0.1; done
"$root/tools/quorvex-take" 3 11 >/dev/null
exec 3<>/dev/tcp/127.0.0.1/1250
printf '\r\x04I01\x13POLL' >&3
sleep 1
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$dir/chromium" --hide-scrollbars --window-size=800,1000 \
    --virtual-time-budget=2000 --screenshot="$out/status-page.png" http://127.0.0.1:8125/ \
    >/dev/null 2>&1
exec 3>&-
kill -TERM $app; wait $app || true
ls "$out"/*.png
