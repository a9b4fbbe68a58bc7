#!/usr/bin/env bash
# Builds the libFuzzer target with clang, AddressSanitizer and UndefinedBehaviorSanitizer, and
# feeds arbitrary reply bytes to every export for the given number of seconds.
# Usage: scripts/fuzz.sh [SECONDS] [BUILD_FOLDER]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-600}
build=${2:-$root/build/fuzz}

mkdir -p "$(dirname "$build")"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSANITIZE=address -DQUARNEL_FUZZ=ON -DQUARNEL_BENCH=OFF >"$build.configure.log" ||
    { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "${QUARNEL_JOBS:-$(nproc)}" --target fuzz_exports

corpus="$build/corpus"
mkdir -p "$corpus"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
"$build/tests/fuzz/fuzz_exports" "$corpus" -max_total_time="$seconds" -max_len=512 \
    -timeout=20 -print_final_stats=1 2>&1 | tail -n 25
