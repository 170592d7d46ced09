#!/bin/sh
# Runs one figure of bench_floor on quorvex alone and watches the server while it runs: a full
# system-call trace (strace) or a CPU profile (perf). Run it under the build lock.
#   bench/profile_floor.sh FIGURE strace|perf OUT_PREFIX [DELAY_S] [DURATION_S] [BUILD_DIR]
# Writes OUT_PREFIX.bench (the program's output), .fds (the server's descriptors when the watch
# began, to tell the pty from the sockets) and .strace or .perf.
set -eu
figure=$1 tool=$2 out=$3 delay=${4:-0.3} duration=${5:-60} build=${6:-build-bench}
"$build/bench_floor" --figures "$figure" --rounds 1 --ser2net none >"$out.bench" 2>&1 &
bench=$!
server=""
for _ in $(seq 500); do
    server=$(pgrep -P "$bench" -x quorvex || true)
    [ -n "$server" ] && break
    sleep 0.02
done
[ -n "$server" ] || { echo "no server started" >&2; exit 1; }
sleep "$delay"
ls -l "/proc/$server/fd" >"$out.fds" 2>&1 || true
case $tool in
strace) timeout -s INT "$duration" strace -f -tt -p "$server" -o "$out.strace" 2>/dev/null || true ;;
perf) perf record -F 1999 -o "$out.perf" -p "$server" -- sleep "$duration" >/dev/null 2>&1 || true ;;
*) echo "strace or perf, not $tool" >&2; exit 2 ;;
esac
wait "$bench"
