#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them, then the PostgreSQL ones beside a throwaway
# server (scripts/with-postgresql.sh) with fsync on and the default shared_buffers (128MB):
# SaveYield against the plain upsert on both engines in one run, the fleet store, and two
# services writing into one store against one.
#
# usage: scripts/bench.sh [BUILD_DIR]   (default: build/release in the repository)
# QUARNEL_FLEET_BOXES: the fleet's boxes (default 100: some 42 million rows, 15 GB of disk
# while it runs and half an hour; 5 for a quick run). QUARNEL_BENCH_POSTGRESQL=0 skips them.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-"$repo/build/release"}

cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARNEL_BENCH=ON
cmake --build "$build" -j2 --target bench_exchange bench_scale bench_channel bench_saveyield bench_wchart bench_history bench_ui bench_coverage bench_fetch bench_quarneld bench_pgfleet

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
if [ "${QUARNEL_BENCH_POSTGRESQL:-1}" != 0 ]; then
    for bench in "bench_saveyield --postgresql" bench_pgfleet "bench_quarneld --shared"; do
        echo
        # shellcheck disable=SC2086
        if ! QUARNEL_PG_OPTIONS="fsync=on shared_buffers=128MB" \
            "$repo/scripts/with-postgresql.sh" "$build/bench/"$bench; then
            echo "$bench on PostgreSQL failed" >&2
            status=1
        fi
    done
fi
exit "$status"
