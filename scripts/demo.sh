#!/usr/bin/env bash
# The demo: builds the program, starts two emulated boxes on 127.0.0.1:7777 and :7778, and runs
# Quarnel on a demo data folder that lists both, with their modules ticked for the live view.
# Ending Quarnel ends the emulators. The user's own data folder is never touched.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUARNEL_DEMO_BUILD:-$root/build/demo}
data=${QUARNEL_DEMO_DATA:-$build/demo-data}

"$root/scripts/install-deps.sh"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "No display: run the demo under Xvfb with  xvfb-run -a -s '-screen 0 1280x800x24' $0"
    exit 1
fi

mkdir -p "$(dirname "$build")"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARNEL_BENCH=OFF \
    >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)" --target quarnel kestemu

# A fresh demo database from the install step.
rm -rf "$data"
"$root/data/install.sh" "$data" >/dev/null

pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
}
trap cleanup EXIT

# The box clocks start at today's midday, so that the inverters have sunshine to show.
start_box() {
    local port=$1
    shift
    local log="$build/kestemu-$port.log"
    "$build/tools/kestemu/kestemu" --bind 127.0.0.1 --port "$port" \
        --clock "$(date +%F) 12:30" --quiet "$@" >"$log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do
        grep -q '^listening on' "$log" && return 0
        kill -0 "${pids[-1]}" 2>/dev/null || break
        sleep 0.05
    done
    echo "kestemu did not start on port $port (is it taken?):"
    cat "$log"
    exit 1
}
start_box 7777 --seed 1
start_box 7778 --seed 2 --inverters AC
echo "emulated boxes on 127.0.0.1:7777 (inverters A, B, C) and 127.0.0.1:7778 (A and C)"

# Two box rows with their four modules each, as the box list's insert makes them, on line and
# ticked for the live view and the history.
sqlite3 "$data/KestUser.sqlite" <<'SQL'
PRAGMA foreign_keys = ON;
INSERT INTO kests (kest_name, kest_ip, kest_port, kest_username, kest_password, kest_online)
VALUES ('Roof', '127.0.0.1', 7777, 'Administrator', 'admin1234', 1),
       ('Barn', '127.0.0.1', 7778, 'Administrator', 'admin1234', 1);
INSERT INTO modules (module_kest, module_type, module_color, module_pattern, module_linetype,
                     module_ispresent, module_ischecked_kwh, module_ischecked_w)
SELECT k.kest_id, m.type, m.color + (k.kest_name = 'Barn') * 4, m.pattern, m.linetype, 1, 1, 1
FROM kests k
JOIN (SELECT 1 AS n, 128 AS type, 11 AS color, 0 AS pattern, 0 AS linetype
      UNION ALL SELECT 2, 4, 9, 0, 1
      UNION ALL SELECT 3, 8, 10, 0, 3
      UNION ALL SELECT 4, 12, 14, 0, 4) m
ORDER BY k.kest_id, m.n;
UPDATE modules SET module_ispresent = 0, module_ischecked_kwh = 0, module_ischecked_w = 0
WHERE module_type = 8 AND module_kest = (SELECT kest_id FROM kests WHERE kest_name = 'Barn');
SQL

echo "starting Quarnel; choose \"Current performance\" to watch the live power, or a resolution"
echo "under \"Performance history\" and press \"Get data\" to download and chart the yield history"
QUARNEL_DATA_DIR="$data" "$build/monitor/ui/quarnel"
