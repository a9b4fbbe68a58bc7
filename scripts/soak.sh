#!/usr/bin/env bash
# Builds the soak in its own folder (release with debug information and LeakSanitizer alone,
# which keeps the CPU figures near a plain build's) and runs it: 16 emulated boxes polled live by
# the program's windows, with history downloads, for MINUTES minutes.
#
# usage: scripts/soak.sh [MINUTES]   (default 3 for a quick look; the full run is 30)
#        QUARNEL_BUILD=DIR picks the build folder (default build/soak)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
minutes=${1:-3}
build=${QUARNEL_BUILD:-$root/build/soak}
if ! [[ "$minutes" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: scripts/soak.sh [MINUTES]" >&2
    exit 2
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=leak \
    -DQUARNEL_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target soak kestemu

# Every leak is reported with its stack; the exit code tells the caller.
export LSAN_OPTIONS=${LSAN_OPTIONS:-exitcode=23:print_suppressions=0}
export QT_QPA_PLATFORM=offscreen
status=0
"$build/bench/soak" "$minutes" || status=$?
case $status in
    0) echo "soak: passed" ;;
    23) echo "soak: LeakSanitizer found leaks (above)" ;;
    *) echo "soak: failed (exit $status)" ;;
esac
exit "$status"
