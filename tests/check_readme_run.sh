#!/usr/bin/env bash
# The README's run command on this machine: it must give a server that a telnet-style client
# can log in to and drive. Builds with scripts/run.sh, talks only to 127.0.0.1, bounded in time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$(mktemp -d)
log="$dir/run.log"
cleanup() {
    [ -n "${pid:-}" ] && kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT
"$root/scripts/run.sh" --headless --dir "$dir" >"$log" 2>&1 &
pid=$!
for _ in $(seq 1 600); do  # the build comes first: up to ten minutes
    if (exec 3<>/dev/tcp/127.0.0.1/1250) 2>/dev/null; then break; fi
    kill -0 "$pid" 2>/dev/null || { cat "$log"; echo "FAIL: the run command ended"; exit 1; }
    sleep 1
done
reply=$("$root/tools/quorvex-take" 3 11)
echo "$reply"
case "$reply" in
    *"Login Sucessful"*'^X^CS011T003^GACK'*) ;;
    *) cat "$log"; echo "FAIL: no take answer"; exit 1 ;;
esac
# The status page the run command turns on, on loopback.
grep -q "Status page: http://127.0.0.1:8125/" "$log" || { cat "$log"; echo "FAIL: no page address"; exit 1; }
exec 4<>/dev/tcp/127.0.0.1/8125
printf 'GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n' >&4
status=$(timeout 2 cat <&4 || true)
exec 4<&-
case "$status" in
    "HTTP/1.1 200"*'"tcpPort":1250'*) ;;
    *) echo "$status"; echo "FAIL: no status JSON"; exit 1 ;;
esac
kill -TERM "$pid"; wait "$pid"; rc=$?; pid=
[ "$rc" -eq 0 ] || { echo "FAIL: exit code $rc"; exit 1; }
grep -q "Switcher COM1	^X3S011T003" "$log" || { cat "$log"; echo "FAIL: no history row"; exit 1; }
grep -q "^Serial Port=1" "$dir/quorvex.ini"
echo "1 passed, 0 failed"
