#!/usr/bin/env bash
# The long fuzzing campaign (not part of scripts/test.sh): a fixed number of executions per
# target, from a working copy of the kept seed corpus, on as many cores as asked. New crash,
# leak and hang inputs are kept in BUILD_FOLDER/findings/TARGET; the executions and the
# executions per second of every target are printed at the end.
#
# Usage: scripts/fuzz-long.sh [--jobs N] [--build FOLDER] [--merge] [--scale F] [TARGET...]
#   --jobs N    fuzzing processes per target (default 1; 2 uses both cores of the test machine)
#   --merge     afterwards, add the inputs that reach new code to tests/fuzz/corpus/TARGET,
#               minimised by libFuzzer's merge (review and commit them by hand)
#   --scale F   multiply every target's executions by F (0.01 for a trial run)
#   TARGET      any of the five below; all of them when none is named
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz
jobs=1
merge=0
scale=1
targets=()
while [ $# -gt 0 ]; do
    case $1 in
        --jobs) jobs=$2; shift 2 ;;
        --build) build=$2; shift 2 ;;
        --merge) merge=1; shift ;;
        --scale) scale=$2; shift 2 ;;
        -h | --help) sed -n '2,14p' "$0"; exit 0 ;;
        -*) echo "unknown option $1" >&2; exit 2 ;;
        *) targets+=("$1"); shift ;;
    esac
done

# Executions per target: the fast in-memory ones ten million, the ones that write a file or
# open a database per input one million.
declare -A runs=(
    [fuzz_exports]=10000000
    [fuzz_decode]=10000000
    [fuzz_replay]=1000000
    [fuzz_userdb]=1000000
    [fuzz_exports_socket]=200000
)
if [ ${#targets[@]} -eq 0 ]; then
    targets=(fuzz_exports fuzz_decode fuzz_replay fuzz_userdb fuzz_exports_socket)
fi
for target in "${targets[@]}"; do
    [ -n "${runs[$target]:-}" ] || { echo "unknown target $target" >&2; exit 2; }
done

mkdir -p "$(dirname "$build")"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSANITIZE=address -DQUARNEL_FUZZ=ON -DQUARNEL_BENCH=OFF >"$build.configure.log" ||
    { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "${QUARNEL_JOBS:-$(nproc)}" --target "${targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_LOGGING_RULES="quarnel.debug.debug=false"
export QT_QPA_PLATFORM=offscreen

summary=()
status=0
for target in "${targets[@]}"; do
    total=$(awk -v n="${runs[$target]}" -v f="$scale" 'BEGIN { printf "%d", n * f }')
    each=$(((total + jobs - 1) / jobs))
    corpus=$build/long/$target/corpus
    findings=$build/findings/$target
    mkdir -p "$corpus" "$findings" "$build/long/$target"
    if [ -d "$root/tests/fuzz/corpus/$target" ]; then
        cp -rn "$root/tests/fuzz/corpus/$target/." "$corpus/"
    fi
    echo "--- $target: $total executions in $jobs process(es)"
    started=$(date +%s)
    max_len=4096
    timeout=20
    case $target in
        fuzz_exports*) max_len=512 ;;
        # A database holding megabyte texts takes seconds per input on a loaded machine.
        fuzz_userdb) timeout=60 ;;
    esac
    pids=()
    for ((j = 0; j < jobs; ++j)); do
        # Each process shares the corpus folder and picks up what the others add.
        "$build/tests/fuzz/$target" "$corpus" -runs="$each" -max_len=$max_len -reload=1 \
            -timeout=$timeout -rss_limit_mb=4096 -artifact_prefix="$findings/" -print_final_stats=1 \
            -seed=$((started + j)) >"$build/long/$target/job$j.log" 2>&1 &
        pids+=($!)
    done
    failed=0
    for pid in "${pids[@]}"; do
        wait "$pid" || failed=1
    done
    seconds=$(($(date +%s) - started))
    executed=$(cat "$build"/long/"$target"/job*.log |
        awk '/^stat::number_of_executed_units/ { n += $2 } END { print n + 0 }')
    rate=$(awk -v n="$executed" -v s="$seconds" 'BEGIN { printf "%d", (s > 0 ? n / s : n) }')
    line="$target: $executed executions in $seconds s, $rate exec/s"
    if [ "$failed" -ne 0 ]; then
        line+=", FAULT FOUND (inputs in $findings)"
        status=1
        grep -h -A3 -E '^==[0-9]+==ERROR|^SUMMARY|runtime error|ALARM' \
            "$build"/long/"$target"/job*.log | head -n 40 || true
    fi
    summary+=("$line")
    if [ "$merge" = 1 ]; then
        mkdir -p "$root/tests/fuzz/corpus/$target"
        "$build/tests/fuzz/$target" -merge=1 "$root/tests/fuzz/corpus/$target" "$corpus" \
            >"$build/long/$target/merge.log" 2>&1 || { echo "merge of $target failed"; status=1; }
    fi
done

printf '\n=== fuzzing campaign\n'
printf '%s\n' "${summary[@]}"
exit $status
