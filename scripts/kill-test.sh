#!/usr/bin/env bash
# Kills the program and quarnel-fetch with SIGKILL at random moments of history downloads, RUNS
# times in all (half each), and checks after every kill that the database is sound, that every
# committed sample survived with the box's value, that the next start is not held up by a stale
# lock, and that a second download completes the data. Then the disk full: with a file size
# limit, and on a small tmpfs where a user namespace can mount one.
#
# usage: scripts/kill-test.sh [RUNS]   (default 200)
#        QUARNEL_BUILD=DIR picks the build folder (default build/kill, RelWithDebInfo);
#        DURABILITY_SEED=N repeats a run.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-200}
build=${QUARNEL_BUILD:-$root/build/kill}
if ! [[ "$runs" =~ ^[0-9]+$ ]] || [ "$runs" -lt 2 ]; then
    echo "usage: scripts/kill-test.sh [RUNS]   (RUNS: 2 or more)" >&2
    exit 2
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARNEL_BENCH=OFF \
        >/dev/null
fi
cmake --build "$build" -j2 --target durability_tests
tests=$build/tests/durability/durability_tests
log=$(mktemp)
tmpfs_log=$(mktemp)
trap 'rm -f "$log" "$tmpfs_log"; [ -z "${mountpoint:-}" ] || rmdir "$mountpoint"' EXIT

export QT_QPA_PLATFORM=offscreen
export DURABILITY_KILLS=$(((runs + 1) / 2))
status=0
"$tests" --gtest_filter='KillTest.*:*DiskFullTest.*' 2>&1 | tee "$log" || status=1

tmpfs="not run"
if unshare --user --map-root-user --mount true 2>/dev/null; then
    # A 16 MiB file system of its own, visible only inside the new namespace; the test fills it
    # with a ballast file to a few pages of room.
    mountpoint=$(mktemp -d)
    if unshare --user --map-root-user --mount bash -c '
        set -e
        mount -t tmpfs -o size=16m tmpfs "$1"
        DURABILITY_TMPFS=$1 "$2" --gtest_filter="FetchDiskFullTest.*"
    ' tmpfs "$mountpoint" "$tests" >"$tmpfs_log" 2>&1; then
        tmpfs="passed"
    else
        tmpfs="FAILED"
        status=1
        grep -v '^quarnel.debug' "$tmpfs_log" | tail -30 || true
    fi
else
    tmpfs="not possible here (no user namespaces)"
fi

# Each line carries its seed: DURABILITY_SEED=N with the same RUNS repeats that half.
program=$(grep -Eo 'durability: program: .*' "$log" | tail -1 || true)
fetch=$(grep -Eo 'durability: quarnel-fetch: .*' "$log" | tail -1 || true)
echo
echo "=== kill test summary"
echo "  runs asked for: $runs"
echo "  ${program:-program: no result}"
echo "  ${fetch:-quarnel-fetch: no result}"
echo "  disk full, program and quarnel-fetch (file size limit): $(grep -Eq '^\[  FAILED  \] .*DiskFullTest' "$log" && echo FAILED || echo passed)"
echo "  disk full on a tmpfs: $tmpfs"
exit "$status"
