#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds Quorvex and runs it with the demo switcher: the
# window when a display is there, headless otherwise. Extra arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)"
exec build/quorvex --demo "$@"
