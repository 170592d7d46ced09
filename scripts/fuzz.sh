#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang, AddressSanitizer and UBSan, and runs each over
# its seed corpus.
#   scripts/fuzz.sh [SECONDS]      fuzz for SECONDS in all (default 180), shared out evenly
#   scripts/fuzz.sh --runs N       N runs per target instead (the test command's smoke run)
#   --build DIR                    build folder (default build-fuzz)
# Inputs found on the way go to DIR/corpus/<target>; the seeds in fuzz/corpus/<target> stay as
# they are. A crash or broken invariant is kept as DIR/crashes/<target>-crash-*, and the exit
# status is 1. Prints the executions per target and in all.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=180
runs=
build=build-fuzz
while (($#)); do
    case "$1" in
        --runs) runs="$2"; shift 2 ;;
        --build) build="$2"; shift 2 ;;
        -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *[!0-9]*|'') echo "fuzz.sh: not a number of seconds: $1" >&2; exit 2 ;;
        *) seconds="$1"; shift ;;
    esac
done
if [[ -n "$runs" && ! "$runs" =~ ^[0-9]+$ ]]; then
    echo "fuzz.sh: not a number of runs: $runs" >&2
    exit 2
fi
if ! command -v clang++ >/dev/null; then
    echo "fuzz.sh: clang++ not found (scripts/install-deps.sh installs it)" >&2
    exit 2
fi

cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

targets=(client_interpreter switcher_framing server_relay settings describe date_format)
if [[ -n "$runs" ]]; then
    limit=(-runs="$runs")
else
    each=$((seconds / ${#targets[@]}))
    ((each > 0)) || each=1
    limit=(-max_total_time="$each")
fi
# One input may not take longer than this (a hang counts as a crash); inputs stay small.
per_input_timeout=10
max_len=4096

mkdir -p "$build/crashes"
total=0
failed=()
printf '%-20s %12s %8s\n' target executions seconds
for t in "${targets[@]}"; do
    mkdir -p "$build/corpus/$t"
    log="$build/$t.log"
    start=$SECONDS
    if "$build/fuzz_$t" "${limit[@]}" -timeout=$per_input_timeout -max_len=$max_len \
        -print_final_stats=1 -artifact_prefix="$build/crashes/$t-" \
        "$build/corpus/$t" "fuzz/corpus/$t" >"$log" 2>&1; then
        execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    else
        execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
        failed+=("$t")
        grep -E 'invariant broken|ERROR|SUMMARY|Test unit written' "$log" >&2 || tail -20 "$log" >&2
    fi
    execs=${execs:-0}
    total=$((total + execs))
    printf '%-20s %12d %8d\n' "$t" "$execs" $((SECONDS - start))
done
printf '%-20s %12d\n' total "$total"
if ((${#failed[@]})); then
    echo "fuzz.sh: crashes in: ${failed[*]} (inputs in $build/crashes/, logs in $build/*.log)" >&2
    exit 1
fi
