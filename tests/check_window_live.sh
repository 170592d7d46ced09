#!/usr/bin/env bash
# The real program's window under Xvfb with a window manager (openbox), driven by the keyboard
# with xdotool as an operator would:
#  - Setup, a COM port that cannot open, OK, confirm: the "Server Error" box is in front of
#    Setup, takes Return and closes, and Setup stays open;
#  - with Stay On Top on, the main window is never unmapped or replaced while About, Setup and
#    Change Password open and close, is not kept above while one is open, and is again after.
# Skips (exit 77) only when Xvfb cannot start. Talks to loopback only; bounded in time.
#   check_window_live.sh QUORVEX_BIN
set -uo pipefail
bin=$1
dir=$(mktemp -d)
pids=()
cleanup() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    for f in app.log xev.log; do [ -f "$dir/$f" ] && { echo "--- $f"; cat "$dir/$f"; }; done
    exit 1
}
for tool in Xvfb openbox xdotool xprop xev xwininfo; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh installs it)"
done

# Xvfb finds a free display itself and writes its number to fd 5.
exec 5>"$dir/display"
Xvfb -displayfd 5 -screen 0 1024x768x24 -dpi 96 -nolisten tcp >"$dir/xvfb.log" 2>&1 &
pids+=($!)
exec 5>&-
for _ in $(seq 1 100); do [ -s "$dir/display" ] && break; sleep 0.1; done
if ! [ -s "$dir/display" ]; then
    echo "SKIP: Xvfb cannot start"; cat "$dir/xvfb.log"; exit 77
fi
export DISPLAY=":$(head -n1 "$dir/display")"
unset QT_QPA_PLATFORM XAUTHORITY
# On X11 Qt opens D-Bus, whose library keeps a buffer to the end (a sanitized build reports it).
export LSAN_OPTIONS="suppressions=$(cd "$(dirname "$0")" && pwd)/lsan-system.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

openbox --sm-disable >"$dir/openbox.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.1
done
xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id' || fail "openbox did not start"

# COM 2 is a device that does not exist; every other port is the demo switcher. A port of its
# own, so that nothing else on 1250 is disturbed.
port=$((20000 + RANDOM % 20000))
printf '[CONFIGURATION]\r\nSerial Port=1\r\nBaud Rate=9600\r\nTCP/IP Port=%d\r\nStay On Top=Yes\r\nMax List Size=25\r\nMaintain Log File=No\r\nPass Thru=No\r\nPassword=\r\n' \
    "$port" >"$dir/quorvex.ini"
"$bin" --demo --dir "$dir" --com "2=$dir/no-such-tty" >"$dir/app.log" 2>&1 &
app=$!
pids+=($app)

# The id of the visible window titled exactly $1 (waits up to 10 s).
window() {
    local id
    for _ in $(seq 1 100); do
        id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.1
    done
    return 1
}
viewable() { xwininfo -id "$1" 2>/dev/null | grep -q 'IsViewable'; }
gone() {  # waits up to 5 s for window $1 to be unmapped
    for _ in $(seq 1 50); do viewable "$1" || return 0; sleep 0.1; done
    return 1
}
above() { xprop -id "$1" _NET_WM_STATE 2>/dev/null | grep -q _NET_WM_STATE_ABOVE; }
above_is() {  # waits up to 3 s for the main window's "above" state to be $1 (yes or no)
    for _ in $(seq 1 30); do
        if above "$main"; then [ "$1" = yes ] && return 0; else [ "$1" = no ] && return 0; fi
        sleep 0.1
    done
    return 1
}
keys() { xdotool key --delay 80 "$@"; sleep 0.2; }

main=$(window "QMT Quorvex") || fail "no main window"
above_is yes || fail "stay on top is not applied at start-up"
# Every structure event of the main window from here on: it must never be unmapped or destroyed.
xev -id "$main" -event structure >"$dir/xev.log" 2>&1 &
xev_pid=$!
pids+=($xev_pid)
sleep 0.3
xdotool windowactivate --sync "$main" >/dev/null 2>&1 || true

# About: Help > About, then its Ok.
keys alt+h a
about=$(window "QMT Quorvex Information") || fail "About did not open"
above_is no || fail "the main window stays above while About is open"
keys alt+o
gone "$about" || fail "About did not close"
above_is yes || fail "stay on top is not back after About"

# Setup: focus starts on Cancel; Tab, Tab, Tab reaches the COM port list; Down picks COM 2.
keys alt+f s
setup=$(window "Quorvex Setup") || fail "Setup did not open"
above_is no || fail "the main window stays above while Setup is open"
keys Tab Tab Tab Down
keys alt+o
confirm=$(window "Serial Port Change") || fail "no confirmation of the port change"
keys Return
gone "$confirm" || fail "the confirmation did not close"
box=$(window "Server Error") || fail "no Server Error box"
sleep 0.5
active=$(xdotool getactivewindow 2>/dev/null)
[ "$active" = "$box" ] || fail "the Server Error box is not the active window ($active, box $box)"
stacking=$(xprop -root _NET_CLIENT_LIST_STACKING | tr -d ',' | tr ' ' '\n' | grep '^0x' |
           while read -r w; do printf '%d\n' "$w"; done)
pos_box=$(grep -n "^$box\$" <<<"$stacking" | cut -d: -f1)
pos_setup=$(grep -n "^$setup\$" <<<"$stacking" | cut -d: -f1)
[ -n "$pos_box" ] && [ -n "$pos_setup" ] && [ "$pos_box" -gt "$pos_setup" ] ||
    fail "the Server Error box is not in front of Setup (stacking $pos_box, Setup $pos_setup)"
keys Return
gone "$box" || fail "the Server Error box did not close on Return"
viewable "$setup" || fail "Setup closed with the error box"
keys alt+c
gone "$setup" || fail "Setup did not close on Cancel"
above_is yes || fail "stay on top is not back after Setup"

# Change Password: File menu, from its first entry down past Setup.
keys alt+f Down Down Return
change=$(window "Change Password") || fail "Change Password did not open"
above_is no || fail "the main window stays above while Change Password is open"
keys alt+c
gone "$change" || fail "Change Password did not close"
above_is yes || fail "stay on top is not back after Change Password"

viewable "$main" || fail "the main window is not viewable"
kill "$xev_pid" 2>/dev/null
wait "$xev_pid" 2>/dev/null
if grep -E '^(UnmapNotify|DestroyNotify)' "$dir/xev.log"; then
    fail "the main window was unmapped or destroyed"
fi

# File > Exit ends the program.
xdotool windowactivate --sync "$main" >/dev/null 2>&1 || true
keys alt+f x
for _ in $(seq 1 100); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
kill -0 "$app" 2>/dev/null && fail "File > Exit did not end the program"
wait "$app"
rc=$?
[ "$rc" -eq 0 ] || fail "exit code $rc"
echo "window_live: passed"
