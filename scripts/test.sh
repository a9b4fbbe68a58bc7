#!/usr/bin/env bash
# Builds everything and runs the whole suite: the plain build, then AddressSanitizer with
# UndefinedBehaviorSanitizer, then ThreadSanitizer, then a short fuzzing smoke run. The plain and
# the AddressSanitizer suites run beside a throwaway PostgreSQL server, so that the tests of the
# user database run against both engines (the "pg." tests); ThreadSanitizer keeps to SQLite.
# Usage: scripts/test.sh            (build folders under ./build/)
#        QUARNEL_QUICK=1 scripts/test.sh   (plain build only)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${QUARNEL_BUILD_ROOT:-$root/build}
jobs=${QUARNEL_JOBS:-$(nproc)}
fuzz_seconds=${QUARNEL_FUZZ_SECONDS:-30}

"$root/scripts/install-deps.sh"

step() { printf '\n=== %s\n' "$*"; }

configure_and_test() {
    local name=$1 engines=$2
    shift 2
    step "$name: configure and build"
    cmake -S "$root" -B "$out/$name" -G Ninja "$@" >"$out/$name.configure.log" ||
        { cat "$out/$name.configure.log"; return 1; }
    cmake --build "$out/$name" -j "$jobs"
    step "$name: tests"
    # The whole output goes to a log, which is searched for passwords afterwards; the console
    # gets one line per test (without ctest's padding dots) and the output of failed tests.
    local log="$out/$name.tests.log" status=0
    if [ "$engines" = both ]; then
        "$root/scripts/with-postgresql.sh" \
            ctest --test-dir "$out/$name" --output-on-failure -j "$jobs" --timeout 300 -V \
            >"$log" 2>&1 || status=$?
    else
        ctest --test-dir "$out/$name" --output-on-failure -j "$jobs" --timeout 300 -V \
            -LE postgresql >"$log" 2>&1 || status=$?
    fi
    grep -E '^ *[0-9]+/[0-9]+ Test +#|tests passed|tests failed|^Total Test time' "$log" |
        sed -E 's/ \.{4,}/ ../'
    if [ "$status" -ne 0 ]; then
        # With -V every line of test N starts with "N: ".
        grep -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+:' "$log" | grep -v ' Passed ' |
            sed -E 's/.*#([0-9]+):.*/\1/' | while read -r n; do
                printf '\n--- output of test #%s\n' "$n"
                grep -E "^$n: " "$log" | tail -n 300
            done
        return "$status"
    fi
    "$root/scripts/check-secrets.sh" "$log"
}

mkdir -p "$out"
configure_and_test plain both -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARNEL_WERROR=ON

if [ "${QUARNEL_QUICK:-0}" = 1 ]; then
    exit 0
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
configure_and_test asan both -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=address -DQUARNEL_BENCH=OFF

export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp
configure_and_test tsan sqlite -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=thread -DQUARNEL_BENCH=OFF

step "fuzz: build and ${fuzz_seconds}s smoke run"
"$root/scripts/fuzz.sh" "$fuzz_seconds" "$out/fuzz"

step "all suites passed"
