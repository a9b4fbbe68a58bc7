#!/usr/bin/env bash
# The demo: builds what is needed, starts the box emulator on 127.0.0.1:7777 and lets the
# command-line client talk to it.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUARNEL_DEMO_BUILD:-$root/build/demo}

"$root/scripts/install-deps.sh"
mkdir -p "$(dirname "$build")"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARNEL_BENCH=OFF \
    >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)" --target kestemu kestctl

emulator_out=$(mktemp)
# The box clock starts at today's midday, so the inverters have sunshine to show.
"$build/tools/kestemu/kestemu" --bind 127.0.0.1 --port 7777 --clock "$(date +%F) 12:30" >"$emulator_out" 2>/dev/null &
emulator=$!
trap 'kill "$emulator" 2>/dev/null; wait "$emulator" 2>/dev/null; rm -f "$emulator_out"' EXIT

for _ in $(seq 100); do
    grep -q '^listening on' "$emulator_out" && break
    kill -0 "$emulator" 2>/dev/null || { echo "kestemu did not start (is port 7777 taken?)"; exit 1; }
    sleep 0.05
done
head -n 1 "$emulator_out"

kestctl=("$build/tools/kestctl/kestctl" --host 127.0.0.1 --port 7777 --user Administrator
    --password admin1234)
for command in "info" "clock" "power" "history 10min total 12" "history day A 7"; do
    printf '\n$ kestctl %s\n' "$command"
    # shellcheck disable=SC2086
    "${kestctl[@]}" $command
done
