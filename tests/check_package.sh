#!/usr/bin/env bash
# Builds the Debian package as it ships (a Release build in a folder of its own inside the
# given build folder), unpacks it into a temporary root and runs the installed binary; lintian
# finds nothing to say against it, and its maintainer scripts behave as Debian's helpers would.
set -euo pipefail
build=$1
src=$(cd "$(dirname "$0")/.." && pwd)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
# Only what the package installs is built (the install step does not build everything else).
pkg="$build/package-release"
cmake -S "$src" -B "$pkg" -DCMAKE_BUILD_TYPE=Release -DQUORVEX_TESTS=OFF \
      -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build "$pkg" -j"$(nproc)" --target quorvex quorvex-switcher-sim quorvex_docs >/dev/null
cd "$pkg"
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
# The documents Debian expects: manual pages that render without a warning, the copyright file
# in the machine-readable format, the changelog.
for page in quorvex quorvex-switcher-sim; do
    man="$root/usr/share/man/man1/$page.1.gz"
    test -f "$man"
    warnings=$(MANWIDTH=80 man --warnings -l "$man" 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "$warnings"; echo "FAIL: $page.1 renders with warnings"; exit 1; }
done
for word in --show-settings --set-password "--set " SIGHUP SIGTERM quorvex.ini.unread \
            Eventlog.txt --allow --bind --status-name --login-timeout --com --demo --dir; do
    MANWIDTH=200 man -l "$root/usr/share/man/man1/quorvex.1.gz" 2>/dev/null | grep -qe "$word" \
        || { echo "FAIL: quorvex.1 does not tell of $word"; exit 1; }
done
for word in --device --baud --status-rate --quit-after; do
    MANWIDTH=200 man -l "$root/usr/share/man/man1/quorvex-switcher-sim.1.gz" 2>/dev/null \
        | grep -qe "$word" || { echo "FAIL: quorvex-switcher-sim.1 lacks $word"; exit 1; }
done
head -1 "$root/usr/share/doc/quorvex/copyright" \
    | grep -qx "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
zcat "$root/usr/share/doc/quorvex/changelog.gz" | head -1 | grep -q "^quorvex (2.02) "
# Binaries are stripped.
file -L "$root/usr/bin/quorvex" "$root/usr/bin/quorvex-switcher-sim" | grep -v ", stripped" \
    && { echo "FAIL: an unstripped binary"; exit 1; }
# The maintainer scripts: systemd reached only through deb-systemd-helper and deb-systemd-invoke
# (systemctl only to reload its configuration), purge deletes the service's folder; then run.
control="$root/DEBIAN"
dpkg-deb -e "$deb" "$control"
for script in postinst prerm postrm; do
    if grep -v '^[[:space:]]*#' "$control/$script" | grep -w systemctl \
            | grep -v "systemctl --system daemon-reload"; then
        echo "FAIL: $script calls systemctl"; exit 1
    fi
done
grep -q "deb-systemd-helper purge quorvex.service" "$control/postrm"
grep -q "rm -rf /var/lib/quorvex" "$control/postrm"
if unshare --mount true 2>/dev/null; then
    unshare --mount --propagation private "$src/tests/check_maintainer_scripts.sh" "$control"
else
    echo "FAIL: no mount namespace (run as root) for the maintainer scripts"; exit 1
fi
# lintian, Debian's package checker: not one error or warning.
command -v lintian >/dev/null || { echo "FAIL: lintian is missing (scripts/install-deps.sh)"; exit 1; }
if ! report=$(lintian --fail-on error,warning "$deb" 2>&1) || grep -E "^[EW]: " <<<"$report"; then
    echo "$report"; echo "FAIL: lintian"; exit 1
fi
grep -E "^[IN]: |^O: " <<<"$report" || true
echo "1 passed, 0 failed"
