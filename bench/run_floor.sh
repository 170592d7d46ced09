#!/bin/sh
# Runs bench_floor with ser2net beside quorvex: installs ser2net from the distribution when it is
# missing (Debian: apt-get, needs root), then runs the program under the shared build lock so no
# build competes for the two cores. Arguments go to bench_floor.
#   bench/run_floor.sh [BUILD_DIR] [bench_floor options]
set -eu
build=${1:-build-bench}
[ $# -gt 0 ] && shift
if ! command -v ser2net >/dev/null 2>&1 && [ ! -x /usr/sbin/ser2net ]; then
    apt-get install -y ser2net >/dev/null
fi
exec flock /tmp/quorvex-build.lock "$build/bench_floor" "$@"
