#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them.
#
# usage: scripts/bench.sh [BUILD_DIR]   (default: build/release in the repository)
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-"$repo/build/release"}

cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARNEL_BENCH=ON
cmake --build "$build" -j2 --target bench_exchange bench_scale bench_channel bench_saveyield bench_wchart bench_history bench_ui bench_coverage bench_fetch bench_quarneld

status=0
for bench in bench_exchange bench_scale bench_channel bench_saveyield bench_wchart bench_history bench_ui bench_coverage bench_fetch bench_quarneld; do
    echo
    if ! "$build/bench/$bench"; then
        echo "$bench failed" >&2
        status=1
    fi
done
# The service's cost per box at 64, 128 and 256 boxes: some 15 minutes.
echo
if ! "$build/bench/bench_quarneld" --scale; then
    echo "bench_quarneld --scale failed" >&2
    status=1
fi
exit "$status"
