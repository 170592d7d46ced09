#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds Quorvex and runs it: the window when a display is
# there, headless otherwise. Extra arguments go to the program (e.g. --com 1=/dev/ttyUSB0).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)"
exec build/quorvex "$@"
