#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer, and
# runs each for the given number of seconds from a copy of its kept seed corpus
# (tests/fuzz/corpus/TARGET; the copy lives in the build folder, so the kept corpus is never
# written to). The socket fuzzer gets at most 10 seconds: it is slow, and its code is fuzzed in
# memory by fuzz_exports. A crash, leak or hang fails the script and leaves its input in
# BUILD_FOLDER/findings/TARGET.
# Usage: scripts/fuzz.sh [SECONDS] [BUILD_FOLDER]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-20}
build=${2:-$root/build/fuzz}
targets=(fuzz_exports fuzz_exports_socket fuzz_decode fuzz_replay fuzz_userdb)

mkdir -p "$(dirname "$build")"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSANITIZE=address -DQUARNEL_FUZZ=ON -DQUARNEL_BENCH=OFF >"$build.configure.log" ||
    { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "${QUARNEL_JOBS:-$(nproc)}" --target "${targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Qt's own diagnostics stay quiet; the program's real errors still reach the log.
export QT_LOGGING_RULES="quarnel.debug.debug=false"
export QT_QPA_PLATFORM=offscreen

failed=()
for target in "${targets[@]}"; do
    time=$seconds
    if [ "$target" = fuzz_exports_socket ] && [ "$time" -gt 10 ]; then
        time=10
    fi
    corpus=$build/corpus/$target
    findings=$build/findings/$target
    rm -rf "$corpus"
    mkdir -p "$corpus" "$findings"
    if [ -d "$root/tests/fuzz/corpus/$target" ]; then
        cp -r "$root/tests/fuzz/corpus/$target/." "$corpus/"
    fi
    printf '\n--- %s: %s s\n' "$target" "$time"
    log=$build/$target.log
    max_len=4096
    timeout=20
    case $target in
        fuzz_exports*) max_len=512 ;;
        # A database holding megabyte texts takes seconds per input on a loaded machine.
        fuzz_userdb) timeout=60 ;;
    esac
    if "$build/tests/fuzz/$target" "$corpus" -max_total_time="$time" -max_len=$max_len \
        -timeout=$timeout -rss_limit_mb=4096 -artifact_prefix="$findings/" -print_final_stats=1 \
        >"$log" 2>&1; then
        grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec)' "$log" || true
    else
        tail -n 60 "$log"
        failed+=("$target")
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    printf '\nfuzzing found faults in: %s (inputs in %s/findings)\n' "${failed[*]}" "$build"
    exit 1
fi
