#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds with AddressSanitizer and UBSan, runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DQUORVEX_SANITIZE=ON
cmake --build build-test -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1
cd build-test
ctest --output-on-failure --timeout 300 -j2
