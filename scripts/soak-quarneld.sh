#!/usr/bin/env bash
# The long soak of the service quarneld against emulated boxes and a broker of its own.
#
# It starts --boxes kestemu boxes (every fourth with inverters A and B only, every eighth with A
# only), a mosquitto broker on a free loopback port and quarneld, and lets them run for
# --minutes. Meanwhile it
#   - kills the broker (SIGKILL) every --restart-minutes and starts it again on the same port;
#     a fresh subscriber on quarnel/# must then get, within 30 s, every box's status, a power
#     state for every present module and the energy states the broker held before the kill;
#     what is still missing then is counted as missed states;
#   - kills box 1 for --away-minutes every --cycle-minutes and starts it again on the same port
#     with the same serial and seed and its clock where it would be, and watches the service
#     mark it offline and online again;
#   - samples the service's resident memory, open descriptors and threads once a minute into
#     samples.csv (and scrapes http://127.0.0.1:PORT/metrics with --metrics-port PORT).
# At the end it stops the service with SIGTERM (exit code 0 expected) and checks that the
# database holds every ten-minute slot of every present module from an hour before the boxes'
# start to the last slot the service's own downloads must have fetched (the box that came and
# went included). The figures go to summary.txt; the exit code is 1 when a check failed.
#
# usage: scripts/soak-quarneld.sh --build DIR [--minutes N] [--boxes N] [--out DIR]
#            [--restart-minutes M] [--away-minutes M] [--cycle-minutes M]
#            [--history-minutes M] [--live-seconds S] [--warmup-minutes M] [--metrics-port P]
#   the full soak: scripts/soak-quarneld.sh --build build/plain          (two hours, 32 boxes)
#   a short look:  scripts/soak-quarneld.sh --build build/plain --minutes 12 --boxes 8 \
#                      --restart-minutes 3 --away-minutes 1.5 --cycle-minutes 6 --history-minutes 2
# The build folder must hold quarneld, kestemu and quarnel-fetch; the script builds nothing.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)

build=""
out=""
minutes=120
boxes=32
restart_minutes=10
away_minutes=3
cycle_minutes=15
history_minutes=15
live_seconds=10
warmup_minutes=15
metrics_port=0

readonly box_date="2024-06-20"
# Not on a slot boundary, so that even a short run sees slots close while it runs.
readonly box_clock="$box_date 11:52"
readonly installed="2024-05-01"
readonly state_wait_s=30
readonly slot_margin_s=180
readonly res_ten_minutes=36

declare -a box_pid box_port box_serial box_inverters
declare -a helper_pids=()
broker_pid=""
broker_port=""
service_pid=""
failures=()

say() {
    printf '%s %s\n' "$(date '+%H:%M:%S')" "$*" | tee -a "$out/soak.log"
}

die() {
    echo "soak-quarneld: $*" >&2
    exit 2
}

usage() {
    sed -n '/^# usage:/,/^# The build folder/s/^# \{0,1\}//p' "$0" >&2
    exit 2
}

# A number of minutes, possibly with a fraction ("1.5"), as whole seconds.
to_seconds() {
    local name=$1 value=$2
    [[ "$value" =~ ^[0-9]+(\.[0-9]+)?$ ]] || die "$name: not a number of minutes: ${value:0:40}"
    awk -v m="$value" 'BEGIN { printf "%d", m * 60 + 0.5 }'
}

whole_number() {
    local name=$1 value=$2 min=$3 max=$4
    if ! [[ "$value" =~ ^[0-9]{1,6}$ ]] || [ "$value" -lt "$min" ] || [ "$value" -gt "$max" ]; then
        die "$name: a whole number, $min to $max: ${value:0:40}"
    fi
}

parse_args() {
    while [ $# -gt 0 ]; do
        local option=$1
        [ $# -ge 2 ] || { [ "$option" = --help ] && usage; die "$option needs a value"; }
        case $option in
            --help) usage ;;
            --build) build=$2 ;;
            --out) out=$2 ;;
            --minutes) minutes=$2 ;;
            --boxes) boxes=$2 ;;
            --restart-minutes) restart_minutes=$2 ;;
            --away-minutes) away_minutes=$2 ;;
            --cycle-minutes) cycle_minutes=$2 ;;
            --history-minutes) history_minutes=$2 ;;
            --live-seconds) live_seconds=$2 ;;
            --warmup-minutes) warmup_minutes=$2 ;;
            --metrics-port) metrics_port=$2 ;;
            *) die "unknown option: ${option:0:40}" ;;
        esac
        shift 2
    done
    [ -n "$build" ] || die "--build DIR is required (a CMake build folder)"
    [[ "$minutes" =~ ^[1-9][0-9]*$ ]] || die "--minutes: a whole number above 0"
    whole_number --boxes "$boxes" 1 200
    whole_number --history-minutes "$history_minutes" 1 1440
    whole_number --live-seconds "$live_seconds" 2 3600
    whole_number --metrics-port "$metrics_port" 0 65535
    run_s=$((minutes * 60))
    restart_s=$(to_seconds --restart-minutes "$restart_minutes") || exit 2
    away_s=$(to_seconds --away-minutes "$away_minutes") || exit 2
    cycle_s=$(to_seconds --cycle-minutes "$cycle_minutes") || exit 2
    warmup_s=$(to_seconds --warmup-minutes "$warmup_minutes") || exit 2
    [ "$restart_s" -ge 60 ] || die "--restart-minutes: at least 1"
    if [ "$away_s" -lt 30 ] || [ "$away_s" -ge "$cycle_s" ]; then
        die "--away-minutes: at least 0.5 and below --cycle-minutes"
    fi
    # A short run still has samples after the warm-up to judge.
    [ "$warmup_s" -le $((run_s / 2)) ] || warmup_s=$((run_s / 2))

    quarneld=$build/tools/quarneld/quarneld
    kestemu=$build/tools/kestemu/kestemu
    fetch=$build/tools/quarnel-fetch/quarnel-fetch
    local program
    for program in "$quarneld" "$kestemu" "$fetch"; do
        [ -x "$program" ] || die "$program is missing: build the targets quarneld kestemu quarnel-fetch"
    done
    PATH=$PATH:/usr/sbin
    for program in mosquitto mosquitto_sub sqlite3 curl awk timeout; do
        command -v "$program" >/dev/null || die "$program is not installed"
    done
    if [ -z "$out" ]; then
        out=$(mktemp -d "${TMPDIR:-/tmp}/soak-quarneld.XXXXXX") || die "no temporary folder"
    fi
    mkdir -p "$out" || die "cannot create $out"
    out=$(cd "$out" && pwd)
}

# Stops a process this script started: SIGTERM, and SIGKILL when it lingers.
stop_pid() {
    local pid=$1 i
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
    kill -TERM "$pid" 2>/dev/null
    for i in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    return 0
}

cleanup() {
    local pid
    trap - EXIT INT TERM
    stop_pid "$service_pid"
    for pid in "${helper_pids[@]}" "$broker_pid" "${box_pid[@]}"; do
        stop_pid "$pid"
    done
}

# A loopback port nothing listens on.
free_port() {
    local port
    while :; do
        port=$((20000 + RANDOM % 40000))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return
        fi
    done
}

port_open() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

inverters_of() {
    local i=$1
    if [ $((i % 8)) -eq 7 ]; then echo A
    elif [ $((i % 4)) -eq 3 ]; then echo AB
    else echo ABC
    fi
}

# Starts box I (from 0) with its clock CLOCK, on its port when it had one, else a free one.
start_box() {
    local i=$1 clock=$2 port=${box_port[$1]:-0} waited
    local stdout=$out/box-$((i + 1)).out
    : >"$stdout"
    "$kestemu" --port "$port" --serial "${box_serial[$i]}" --seed $((i + 1)) \
        --clock "$clock" --installed "$installed" --inverters "${box_inverters[$i]}" \
        --quiet >"$stdout" 2>>"$out/box-$((i + 1)).err" &
    box_pid[i]=$!
    for waited in $(seq 100); do
        if grep -q '^listening on ' "$stdout"; then
            box_port[i]=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$stdout" | head -1)
            return 0
        fi
        kill -0 "${box_pid[$i]}" 2>/dev/null || break
        sleep 0.1
    done
    say "box $((i + 1)) did not start (waited $((waited / 10)) s): $(tail -1 "$out/box-$((i + 1)).err")"
    return 1
}

start_boxes() {
    local i
    for ((i = 0; i < boxes; i++)); do
        box_serial[i]=$(printf 'SOAK-%04d-%04d' $((4200 + i)) $((i * 37 % 10000)))
        box_inverters[i]=$(inverters_of "$i")
        start_box "$i" "$box_clock" || exit 1
    done
    boxes_started_at=$EPOCHSECONDS
    say "$boxes boxes listening, clock $box_clock, box 1 on port ${box_port[0]} comes and goes"
}

# The box clock box 1 would show now, to the minute, had it never gone.
box_clock_now() {
    sqlite3 :memory: "SELECT strftime('%Y-%m-%d %H:%M', '$box_clock', \
        '+$(((EPOCHSECONDS - boxes_started_at) / 60)) minutes');"
}

make_data_folder() {
    data=$out/data
    "$root/data/install.sh" "$data" >"$out/install.log" 2>&1 ||
        { cat "$out/install.log" >&2; die "data/install.sh failed"; }
    local i sql="BEGIN;" type letter present
    for ((i = 0; i < boxes; i++)); do
        sql+="INSERT INTO kests (kest_id, kest_name, kest_ip, kest_port, kest_username,
              kest_password, kest_online) VALUES ($((i + 1)), 'Soak $((i + 1))', '127.0.0.1',
              ${box_port[$i]}, 'Administrator', 'admin1234', 1);"
        for type in 128:T 4:A 8:B 12:C; do
            letter=${type#*:}
            present=0
            [ "$letter" = T ] || [[ "${box_inverters[$i]}" == *"$letter"* ]] && present=1
            sql+="INSERT INTO modules (module_kest, module_type, module_color, module_pattern,
                  module_linetype, module_ispresent, module_ischecked_kwh, module_ischecked_w)
                  VALUES ($((i + 1)), ${type%:*}, 0, 0, 0, $present, 0, 0);"
        done
    done
    sqlite3 -bail "$data/KestUser.sqlite" "$sql COMMIT;" || die "the boxes cannot be listed"
}

write_broker_conf() {
    broker_port=$(free_port)
    {
        echo "listener $broker_port 127.0.0.1"
        echo "allow_anonymous true"
        echo "persistence false"
        echo "log_dest stderr"
        [ "$(id -u)" -ne 0 ] || echo "user root"
    } >"$out/mosquitto.conf"
}

start_broker() {
    local i
    for i in $(seq 100); do
        if [ -z "$broker_pid" ] || ! kill -0 "$broker_pid" 2>/dev/null; then
            mosquitto -c "$out/mosquitto.conf" 2>>"$out/mosquitto.log" &
            broker_pid=$!
        fi
        port_open "$broker_port" && return 0
        sleep 0.1
    done
    say "the broker does not listen on port $broker_port: $(tail -1 "$out/mosquitto.log")"
    return 1
}

write_service_conf() {
    conf=$out/quarneld.conf
    (umask 077 && {
        printf '[mqtt]\nhost = 127.0.0.1\nport = %s\nclient_id = quarneld-soak\n' "$broker_port"
        printf '[service]\nlive_interval = %s\nhistory_interval = %s\n' \
            "$live_seconds" "$history_minutes"
        [ "$metrics_port" -eq 0 ] || printf '[metrics]\nlisten = 127.0.0.1\nport = %s\n' "$metrics_port"
    } >"$conf")
    chmod 600 "$conf"
}

start_service() {
    "$quarneld" --config "$conf" --data-dir "$data" 2>"$out/quarneld.log" &
    service_pid=$!
    sleep 1
    kill -0 "$service_pid" 2>/dev/null || { cat "$out/quarneld.log" >&2; die "quarneld did not start"; }
    say "quarneld $service_pid: live every $live_seconds s, history every $history_minutes min, broker port $broker_port"
}

# What the broker holds under quarnel/ as "topic payload" lines, last payload per topic.
retained_snapshot() {
    timeout 10 mosquitto_sub -h 127.0.0.1 -p "$broker_port" -t 'quarnel/#' -v --retained-only \
        -W 2 2>/dev/null
}

last_per_topic() {
    awk '{ topic = $1; $1 = ""; sub(/^ /, ""); last[topic] = $0 } END { for (t in last) print t, last[t] }'
}

# The lines "topic payload" the service owes a new subscriber: status and power of every box
# (box 1 only when it is not on its way out or back), and the energies it published before.
expected_states() {
    local before=$1 i serial letter
    for ((i = 0; i < boxes; i++)); do
        serial=${box_serial[$i]}
        if [ "$i" -eq 0 ] && [ "$away_state" != here ]; then
            [ "$away_state" != gone ] || echo "quarnel/$serial/status offline"
            continue
        fi
        echo "quarnel/$serial/status online"
        for letter in total a b c; do
            [ "$letter" = total ] || [[ "${box_inverters[$i]}" == *"${letter^^}"* ]] || continue
            echo "quarnel/$serial/$letter/power *"
        done
        grep -E "^quarnel/$serial/[a-z]+/energy_(today|total) " "$before" | awk '{ print $1, "*" }'
    done
}

# How many of the expected lines the received ones lack ("*" takes any payload).
count_missing() {
    awk 'NR == FNR { got[$1] = $2; next }
         !($1 in got) || ($2 != "*" && got[$1] != $2) { missing++ }
         END { print missing + 0 }' "$1" "$2"
}

restart_broker() {
    local n=$1 before=$out/restart-$1.before received=$out/restart-$1.received
    local expected=$out/restart-$1.expected missing sub waited=0
    retained_snapshot | last_per_topic >"$before"
    kill -KILL "$broker_pid" 2>/dev/null
    wait "$broker_pid" 2>/dev/null
    broker_pid=""
    start_broker || { failures+=("the broker did not come back after restart $n"); return; }
    expected_states "$before" >"$expected"
    mosquitto_sub -h 127.0.0.1 -p "$broker_port" -t 'quarnel/#' -v >"$received.raw" 2>/dev/null &
    sub=$!
    helper_pids+=("$sub")
    while [ "$waited" -lt "$state_wait_s" ]; do
        sleep 1
        waited=$((waited + 1))
        last_per_topic <"$received.raw" >"$received"
        missing=$(count_missing "$received" "$expected")
        [ "$missing" -gt 0 ] || break
    done
    stop_pid "$sub"
    last_per_topic <"$received.raw" >"$received"
    missing=$(count_missing "$received" "$expected")
    missed_total=$((missed_total + missing))
    missed_list+=" $missing"
    say "broker restart $n: $(wc -l <"$expected") states expected, $missing missed, complete after ${waited} s"
    [ "$missing" -eq 0 ] || awk 'NR == FNR { got[$1] = $2; next }
        !($1 in got) || ($2 != "*" && got[$1] != $2) { print "  missed:", $0 }' \
        "$received" "$expected" | head -20 | tee -a "$out/soak.log"
}

box1_status() {
    timeout 5 mosquitto_sub -h 127.0.0.1 -p "$broker_port" -t "quarnel/${box_serial[0]}/status" \
        -C 1 -W 3 2>/dev/null
}

# Box 1's cycle: here -> (killed) leaving -> (service says offline) gone -> (started again)
# returning -> (service says online) here.
step_away_cycle() {
    local now=$EPOCHSECONDS
    case $away_state in
        here)
            if [ "$now" -ge "$next_leave" ] && [ "$now" -lt $((deadline - away_s)) ]; then
                stop_pid "${box_pid[0]}"
                cycles_started=$((cycles_started + 1))
                left_at=$now
                away_state=leaving
                say "box 1 gone (cycle $cycles_started)"
            fi
            ;;
        leaving | gone)
            if [ "$away_state" = leaving ] && [ "$(box1_status)" = offline ]; then
                away_state=gone
                offline_seen=$((offline_seen + 1))
                say "box 1 marked offline after $((EPOCHSECONDS - left_at)) s"
            fi
            if [ "$now" -ge $((left_at + away_s)) ]; then
                start_box 0 "$(box_clock_now)" || failures+=("box 1 could not be started again")
                returned_at=$EPOCHSECONDS
                next_leave=$((left_at + cycle_s))
                [ "$away_state" = gone ] ||
                    say "box 1 was never marked offline while it was away"
                away_state=returning
                say "box 1 back on port ${box_port[0]}"
            fi
            ;;
        returning)
            if [ "$(box1_status)" = online ]; then
                away_state=here
                online_seen=$((online_seen + 1))
                say "box 1 marked online again after $((EPOCHSECONDS - returned_at)) s"
            fi
            ;;
    esac
}

sample_service() {
    local status rss threads fds scrape="" elapsed=$((EPOCHSECONDS - started_at))
    status=$(cat "/proc/$service_pid/status" 2>/dev/null) || return
    rss=$(awk '/^VmRSS:/ { print $2 }' <<<"$status")
    threads=$(awk '/^Threads:/ { print $2 }' <<<"$status")
    fds=$(find "/proc/$service_pid/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l)
    if [ "$metrics_port" -ne 0 ]; then
        scrape=$(curl -s -o /dev/null --max-time 5 -w '%{http_code},%{time_total}' \
            "http://127.0.0.1:$metrics_port/metrics" 2>/dev/null)
        scrape=",${scrape:-000,0}"
    fi
    echo "$elapsed,$rss,$fds,$threads$scrape" >>"$out/samples.csv"
}

stop_service() {
    local i
    kill -TERM "$service_pid" 2>/dev/null
    for i in $(seq 300); do
        kill -0 "$service_pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$service_pid" 2>/dev/null; then
        failures+=("quarneld did not exit within 30 s of SIGTERM")
        kill -KILL "$service_pid" 2>/dev/null
    fi
    wait "$service_pid"
    service_rc=$?
    service_pid=""
    [ "$service_rc" -eq 0 ] || failures+=("quarneld exited with $service_rc after SIGTERM")
}

# Every ten-minute slot of every present module from an hour before the boxes' clock start to
# the last slot that closed a history interval and a margin before the service stopped.
check_samples() {
    local last_close_s=$((stopped_at - boxes_started_at - history_minutes * 60 - slot_margin_s))
    local query="
        WITH RECURSIVE slot(t) AS (
            SELECT datetime((strftime('%s', '$box_clock', '-60 minutes') + 599) / 600 * 600, 'unixepoch')
            UNION ALL SELECT datetime(t, '+10 minutes') FROM slot
            WHERE datetime(t, '+20 minutes') <= datetime('$box_clock', '+$last_close_s seconds'))
        SELECT k.kest_name, m.module_type, slot.t
        FROM slot, modules m JOIN kests k ON k.kest_id = m.module_kest
        WHERE m.module_ispresent = 1"
    sqlite3 -separator ' ' "$data/KestUser.sqlite" "$query AND NOT EXISTS (
            SELECT 1 FROM samples WHERE sample_module = m.module_id
            AND sample_resolution = $res_ten_minutes AND sample_timestamp = slot.t)
        ORDER BY k.kest_id, m.module_type, slot.t;" >"$out/lost-samples.txt" ||
        failures+=("the samples could not be read")
    slots_checked=$(sqlite3 "$data/KestUser.sqlite" "SELECT count(*) FROM ($query);")
    lost=$(wc -l <"$out/lost-samples.txt")
    slot_range=$(sqlite3 "$data/KestUser.sqlite" "WITH r AS ($query) SELECT min(t) || ' to ' || max(t) FROM r;")
    [ "$lost" -eq 0 ] || failures+=("$lost ten-minute samples lost (lost-samples.txt)")
    [ "$slots_checked" -gt 0 ] || failures+=("the run was too short to check any ten-minute slot")
    "$fetch" --data-dir "$data" --coverage >"$out/coverage.txt" 2>&1 || true
}

# first/last/max of column COL (2 rss, 3 fds, 4 threads) after the warm-up, and its growth over
# the last hour (or the whole time after the warm-up when the run is shorter).
column_figures() {
    awk -F, -v col="$1" -v warm="$warmup_s" -v run="$run_s" '
        NR > 1 && $1 >= warm {
            if (n == 0) first = $col
            last = $col; n++
            if ($col > max) max = $col
            if ($1 >= run - 3600 && hour == "") hour = $col
        }
        END { if (n == 0) { print "- - - -"; exit }
              print first, last, max, last - hour }' "$out/samples.csv"
}

summarize() {
    local rss fds thr flat="not judged (under 30 minutes after the warm-up)" line
    read -r -a rss <<<"$(column_figures 2)"
    read -r -a fds <<<"$(column_figures 3)"
    read -r -a thr <<<"$(column_figures 4)"
    if [ $((run_s - warmup_s)) -ge 1800 ] && [ "${rss[0]}" != - ]; then
        if [ "${rss[3]}" -le $((rss[0] / 20 + 2048)) ] && [ "${fds[3]}" -le 2 ] && [ "${thr[3]}" -le 2 ]; then
            flat=yes
        else
            flat=no
            failures+=("the service grows: RSS +${rss[3]} kB, descriptors +${fds[3]}, threads +${thr[3]} in the last hour")
        fi
    fi
    [ "$offline_seen" -eq "$cycles_started" ] ||
        failures+=("box 1 was marked offline in $offline_seen of $cycles_started cycles")
    [ "$online_seen" -eq "$cycles_started" ] ||
        failures+=("box 1 was marked online again in $online_seen of $cycles_started cycles")
    [ "$missed_total" -eq 0 ] || failures+=("$missed_total states missed after broker restarts")
    {
        echo "quarneld soak, $(date '+%Y-%m-%d %H:%M')"
        echo "duration:                 $(((stopped_at - started_at) / 60)) min $(((stopped_at - started_at) % 60)) s"
        echo "boxes:                    $boxes (live every $live_seconds s, history every $history_minutes min)"
        echo "broker restarts:          $restarts"
        echo "missed states per restart:${missed_list:- none} (total $missed_total)"
        echo "box 1 comes/goes cycles:  $cycles_started (marked offline $offline_seen, online again $online_seen)"
        echo "after the warm-up of $((warmup_s / 60)) min (first/last/max, last-hour growth):"
        echo "  RSS kB:                 ${rss[0]} / ${rss[1]} / ${rss[2]}, ${rss[3]}"
        echo "  descriptors:            ${fds[0]} / ${fds[1]} / ${fds[2]}, ${fds[3]}"
        echo "  threads:                ${thr[0]} / ${thr[1]} / ${thr[2]}, ${thr[3]}"
        echo "  flat:                   $flat"
        if [ "$metrics_port" -ne 0 ]; then
            awk -F, 'NR > 1 { n++; if ($5 == 200) { ok++; t += $6; if ($6 > max) max = $6 } }
                END { printf "metrics scrapes:          %d of %d answered, mean %.3f s, max %.3f s\n",
                      ok, n, ok ? t / ok : 0, max }' "$out/samples.csv"
        fi
        echo "ten-minute slots checked: $slots_checked ($slot_range per module)"
        echo "lost samples:             $lost"
        echo "quarneld exit code:       $service_rc"
        if [ ${#failures[@]} -eq 0 ]; then
            echo "result:                   passed"
        else
            echo "result:                   FAILED"
            for line in "${failures[@]}"; do echo "  - $line"; done
        fi
        echo "files:                    $out"
    } | tee "$out/summary.txt"
}

main() {
    parse_args "$@"
    trap cleanup EXIT
    trap 'exit 130' INT TERM
    : >"$out/soak.log"
    say "soak of $minutes min, $boxes boxes, results in $out"
    missed_total=0 missed_list="" restarts=0 cycles_started=0 offline_seen=0 online_seen=0
    away_state=here left_at=0 returned_at=0 service_rc="-" slots_checked=0 lost=0 slot_range=""

    start_boxes
    make_data_folder
    write_broker_conf
    start_broker || exit 1
    write_service_conf
    echo "seconds,rss_kb,fds,threads$([ "$metrics_port" -eq 0 ] || echo ,metrics_http,metrics_s)" \
        >"$out/samples.csv"
    start_service
    started_at=$EPOCHSECONDS
    deadline=$((started_at + run_s))
    local next_sample=$started_at next_restart=$((started_at + restart_s))
    next_leave=$((started_at + cycle_s / 3))

    while [ "$EPOCHSECONDS" -lt "$deadline" ]; do
        if ! kill -0 "$service_pid" 2>/dev/null; then
            wait "$service_pid"
            service_rc=$?
            service_pid=""
            failures+=("quarneld ended by itself with $service_rc (quarneld.log)")
            say "quarneld ended by itself with $service_rc"
            break
        fi
        if [ "$EPOCHSECONDS" -ge "$next_sample" ]; then
            sample_service
            next_sample=$((next_sample + 60))
        fi
        if [ "$EPOCHSECONDS" -ge "$next_restart" ] && [ $((EPOCHSECONDS + state_wait_s)) -le "$deadline" ]; then
            restarts=$((restarts + 1))
            restart_broker "$restarts"
            next_restart=$((next_restart + restart_s))
        fi
        step_away_cycle
        sleep 1
    done

    stopped_at=$EPOCHSECONDS
    [ -z "$service_pid" ] || stop_service
    say "quarneld stopped, exit code $service_rc"
    check_samples
    summarize
    [ ${#failures[@]} -eq 0 ]
}

main "$@"
