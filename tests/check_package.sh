#!/usr/bin/env bash
# Builds the Debian package in the given build folder, unpacks it into a temporary root and
# runs the installed binary.
set -euo pipefail
build=$1
src=$(cd "$(dirname "$0")/.." && pwd)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
cd "$build"
rm -f quorvex_*.deb
cpack -G DEB >/dev/null
deb=$(ls quorvex_*.deb)
dpkg -x "$deb" "$root"
dpkg-deb -I "$deb" postinst >/dev/null
"$root/usr/bin/quorvex" --version | grep -qx "quorvex 2.02"
test -x "$root/usr/bin/quorvex-switcher-sim"
grep -qx "ExecStart=/usr/bin/quorvex --headless --dir /var/lib/quorvex --status 127.0.0.1:8125" "$root/usr/lib/systemd/system/quorvex.service"
grep -qx "SupplementaryGroups=dialout" "$root/usr/lib/systemd/system/quorvex.service"
grep -qx "Type=notify" "$root/usr/lib/systemd/system/quorvex.service"
# The template for several switchers, one folder and one device file per instance.
template="$root/usr/lib/systemd/system/quorvex@.service"
grep -qx "ExecStart=/usr/bin/quorvex --headless --dir /var/lib/quorvex/%i \$QUORVEX_ARGS" "$template"
grep -qx "StateDirectory=quorvex/%i" "$template"
grep -qx "EnvironmentFile=/etc/quorvex/%i.conf" "$template"
dpkg-deb -I "$deb" prerm | grep -q "quorvex@"
# The event log's rotation, kept as a configuration file the administrator may edit.
cmp "$root/etc/logrotate.d/quorvex" "$src/packaging/quorvex.logrotate"
dpkg-deb -I "$deb" conffiles | grep -qx "/etc/logrotate.d/quorvex"
test -f "$root/usr/share/applications/quorvex.desktop"
test -f "$root/usr/share/pixmaps/quorvex.xpm"
echo "1 passed, 0 failed"
