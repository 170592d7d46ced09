#!/usr/bin/env bash
# The logrotate rule the package ships: logrotate reads it without a word, and run on a copy
# whose folders are a temporary one it moves each Eventlog.txt aside (the service's and an
# instance's), makes no empty file in its place (the server writes the header into a new one),
# and compresses the older ones, keeping the number the rule says.
set -euo pipefail
rule=$1/packaging/quorvex.logrotate
command -v logrotate >/dev/null || { echo "FAIL: logrotate is not installed (scripts/install-deps.sh)"; exit 1; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
for line in "su quorvex quorvex" "nocreate" "missingok" "rotate 8" \
            "/var/lib/quorvex/Eventlog.txt /var/lib/quorvex/*/Eventlog.txt {"; do
    sed 's/^ *//' "$rule" | grep -qxF "$line" || { echo "FAIL: the rule lacks '$line'"; exit 1; }
done
if grep -qE '^ *(create|copytruncate|postrotate)' "$rule"; then
    echo "FAIL: the rule makes a file without the header or touches the server"; exit 1
fi

# The copy: the folders under $dir, the files' owner the user running this.
logs=$dir/lib
mkdir -p "$logs/studio-a"
sed -e "s#/var/lib/quorvex#$logs#g" \
    -e "s#su quorvex quorvex#su $(id -un) $(id -gn)#" "$rule" >"$dir/rule"
[ "$(id -u)" = 0 ] || sed -i '/^ *su /d' "$dir/rule"  # only root may switch users
chmod 0644 "$dir/rule"
out=$(logrotate --debug --state "$dir/state" "$dir/rule" 2>&1) ||
    { echo "$out"; echo "FAIL: logrotate --debug"; exit 1; }
if grep -v "in debug mode does nothing" <<<"$out" | grep -qiE "error|warning"; then echo "$out"; echo "FAIL: logrotate --debug"; exit 1; fi

rotate() { logrotate --force --state "$dir/state" "$dir/rule"; }
for round in 1 2 3; do
    for f in "$logs/Eventlog.txt" "$logs/studio-a/Eventlog.txt"; do
        printf 'round %s\r\n' "$round" >"$f"
    done
    rotate
done
for d in "$logs" "$logs/studio-a"; do
    [ ! -e "$d/Eventlog.txt" ] || { echo "FAIL: $d/Eventlog.txt was made anew"; exit 1; }
    [ "$(cat "$d/Eventlog.txt.1")" = "$(printf 'round 3\r')" ] ||
        { echo "FAIL: $d/Eventlog.txt.1 is not the last log"; exit 1; }
    [ "$(gzip -dc "$d/Eventlog.txt.2.gz")" = "$(printf 'round 2\r')" ] ||
        { echo "FAIL: $d/Eventlog.txt.2.gz is not the log before"; exit 1; }
    [ "$(gzip -dc "$d/Eventlog.txt.3.gz")" = "$(printf 'round 1\r')" ] ||
        { echo "FAIL: $d/Eventlog.txt.3.gz is not the first log"; exit 1; }
done
# A missing log is no error (log file off, or an instance that never logged).
rm -rf "$logs/studio-a"
rotate
# The rule keeps 8 old logs.
for round in 4 5 6 7 8 9 10 11 12; do
    printf 'round %s\r\n' "$round" >"$logs/Eventlog.txt"
    rotate
done
[ "$(ls "$logs" | grep -c '^Eventlog.txt\.')" = 8 ] || { ls "$logs"; echo "FAIL: not 8 kept"; exit 1; }
echo "1 passed, 0 failed"
