#!/usr/bin/env bash
# The systemd units as installed: systemd-analyze verify accepts both when it is there (the
# binary's path is the build's), and the directives the service relies on are in each.
set -euo pipefail
src=$1
bin=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
for name in quorvex.service quorvex@.service; do
    sed -e "s#%BINDIR%#$(dirname "$bin")#; s#%DOCDIR%#/usr/share/doc/quorvex#" \
        "$src/packaging/$name.in" >"$dir/$name"
done
cp "$dir/quorvex@.service" "$dir/quorvex@studio.service"  # an instance, as systemd sees one
if command -v systemd-analyze >/dev/null; then
    # verify only warns about an unknown key or a bad value: any word from it is a failure.
    out=$(cd "$dir" && systemd-analyze verify quorvex.service quorvex@studio.service 2>&1)
    [ -z "$out" ] || { echo "$out"; echo "FAIL: systemd-analyze verify"; exit 1; }
fi
for unit in "$dir/quorvex.service" "$dir/quorvex@studio.service"; do
    for line in "Type=notify" "NotifyAccess=main" "WatchdogSec=20s" "SupplementaryGroups=dialout" \
                "DevicePolicy=closed" "DeviceAllow=char-ttyUSB rw" "DeviceAllow=char-ttyACM rw" \
                "DeviceAllow=char-ttyS rw" "ProtectSystem=strict" "NoNewPrivileges=yes" \
                "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX" "LimitNOFILE=65536" \
                "LimitCORE=0" "MemoryMax=1G" "UMask=0077" \
                'ExecReload=/bin/kill -HUP $MAINPID'; do
        grep -qx "$line" "$unit" || { echo "FAIL: $unit lacks $line"; exit 1; }
    done
done
grep -qx "StateDirectory=quorvex" "$dir/quorvex.service"
grep -qx "StateDirectory=quorvex/%i" "$dir/quorvex@studio.service"
grep -qx "EnvironmentFile=/etc/quorvex/%i.conf" "$dir/quorvex@studio.service"
echo "1 passed, 0 failed"
