#!/usr/bin/env bash
# The package's maintainer scripts (the control folder of the .deb, given) run through an
# install, upgrades, a removal and a purge, in a mount namespace of their own (run it under
# `unshare --mount`): /run and /var/lib are empty tmpfs there, /run/systemd/system says that
# systemd runs, and every command the scripts reach the system with (user creation, Debian's
# systemd helpers, systemctl) is a stand-in that records its arguments.
set -euo pipefail
control=$1
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /var/lib
mkdir -p /run/systemd/system
fake=$(mktemp -d /run/fake.XXXXXX)
calls=$fake/calls
for tool in getent useradd usermod deb-systemd-helper deb-systemd-invoke systemctl; do
    cat >"$fake/$tool" <<'TOOL'
#!/bin/sh
echo "$(basename "$0") $*" >>"$FAKE_CALLS"
case "$(basename "$0") $1 $2" in
    "deb-systemd-helper was-enabled "*|"deb-systemd-helper --quiet was-enabled") exit "$FAKE_WAS_ENABLED" ;;
    "deb-systemd-helper debian-installed "*) exit "$FAKE_INSTALLED" ;;
    "deb-systemd-helper --quiet is-enabled") exit "$FAKE_IS_ENABLED" ;;
esac
exit 0
TOOL
    chmod +x "$fake/$tool"
done
export PATH="$fake:$PATH" FAKE_CALLS=$calls

fail() { echo "FAIL: $*"; echo "--- calls:"; cat "$calls"; exit 1; }
# run SCRIPT ARGS...: with FAKE_* as set by the caller (0: yes, 1: no), the output in $out.
run() {
    : >"$calls"
    out=$(sh -e "$control/$1" "${@:2}" 2>&1) || fail "$1 $* exited $?: $out"
}
called() { grep -qxF -- "$1" "$calls"; }

# A fresh install: the unit enabled (no state yet reads as enabled) and started, and the
# administrator told how to set the password.
FAKE_WAS_ENABLED=0 FAKE_INSTALLED=1 FAKE_IS_ENABLED=1 run postinst configure
called "deb-systemd-helper enable quorvex.service" || fail "fresh install: not enabled"
called "deb-systemd-invoke start quorvex.service" || fail "fresh install: not started"
grep -q "try-restart" "$calls" && fail "fresh install: a restart"
case "$out" in *"quorvex --dir /var/lib/quorvex --set-password"*) ;;
    *) fail "fresh install: no word of the password: $out" ;; esac

# An upgrade of an enabled service: restarted only if it runs (try-restart), never started.
FAKE_WAS_ENABLED=0 FAKE_INSTALLED=0 FAKE_IS_ENABLED=0 run postinst configure 2.01
called "deb-systemd-invoke try-restart quorvex.service quorvex@*.service" \
    || fail "upgrade: no try-restart"
grep -q "invoke start\|invoke restart" "$calls" && fail "upgrade: started unconditionally"

# An upgrade of a unit the administrator disabled: it stays disabled.
FAKE_WAS_ENABLED=1 FAKE_INSTALLED=0 FAKE_IS_ENABLED=1 run postinst configure 2.01
grep -q "helper enable\|helper reenable" "$calls" && fail "upgrade: a disabled unit enabled"
called "deb-systemd-invoke try-restart quorvex.service quorvex@*.service" \
    || fail "upgrade (disabled): no try-restart"

# An upgrade from a package that kept no helper state, the unit disabled by hand: the same.
FAKE_WAS_ENABLED=0 FAKE_INSTALLED=1 FAKE_IS_ENABLED=1 run postinst configure 2.01
grep -q "helper enable" "$calls" && fail "upgrade from no state: a disabled unit enabled"

# A password set: no word of it.
mkdir -p /var/lib/quorvex
printf '[CONFIGURATION]\r\nPassword=ABC\r\n' >/var/lib/quorvex/quorvex.ini
FAKE_WAS_ENABLED=0 FAKE_INSTALLED=0 FAKE_IS_ENABLED=0 run postinst configure 2.01
[ -z "$out" ] || fail "password set, yet: $out"
printf '[CONFIGURATION]\r\nPassword=\r\n' >/var/lib/quorvex/quorvex.ini
FAKE_WAS_ENABLED=0 FAKE_INSTALLED=0 FAKE_IS_ENABLED=0 run postinst configure 2.01
[ -n "$out" ] || fail "no password, no word of it"

# An upgrade stops nothing before; a removal stops the service and every instance.
export FAKE_WAS_ENABLED=0 FAKE_INSTALLED=0 FAKE_IS_ENABLED=0
run prerm upgrade 2.02
grep -q "invoke stop" "$calls" && fail "prerm upgrade: stopped"
run prerm remove
called "deb-systemd-invoke stop quorvex.service quorvex@*.service" || fail "prerm remove: no stop"

# Removal keeps the settings; purge deletes them and the helper's state.
run postrm remove
[ -f /var/lib/quorvex/quorvex.ini ] || fail "remove deleted the settings"
run postrm purge
[ ! -e /var/lib/quorvex ] || fail "purge left /var/lib/quorvex"
called "deb-systemd-helper purge quorvex.service" || fail "purge: helper state kept"

# systemctl itself only ever reloads systemd's configuration, as debhelper's snippets do.
: >"$calls"
for script in postinst prerm postrm; do
    grep -v '^[[:space:]]*#' "$control/$script" | grep -w systemctl \
        | grep -v "systemctl --system daemon-reload" && fail "$script calls systemctl"
done
echo "maintainer scripts: install, upgrades, remove, purge as expected"
