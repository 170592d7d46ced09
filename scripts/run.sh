#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds Quorvex and runs it with the demo switcher: the
# window when a display is there, headless otherwise, with the status page on loopback (port
# 8125, or QUORVEX_STATUS=ADDRESS:PORT). Extra arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)"
status=${QUORVEX_STATUS:-127.0.0.1:8125}
echo "Status page: http://$status/"
exec build/quorvex --demo --status "$status" "$@"
