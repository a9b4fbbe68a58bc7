#!/usr/bin/env bash
# Runs every kestctl command against a freshly started kestemu, including a refused login and a
# password change that the next login has to see.
#
# usage: kestctl_smoke.sh KESTEMU KESTCTL
set -u

if [ $# -ne 2 ]; then
    echo "usage: $0 KESTEMU KESTCTL" >&2
    exit 2
fi
kestemu=$1
kestctl=$2

work=$(mktemp -d)
emu_pid=""
drain_pid=""
emu_status=0
port=""

# start_emulator ARGS...: starts kestemu on a free port and sets $port from its first line.
start_emulator() {
    rm -f "$work/emu.out"
    mkfifo "$work/emu.out"
    "$kestemu" --port 0 "$@" >"$work/emu.out" 2>"$work/emu.err" &
    emu_pid=$!
    exec 3<"$work/emu.out"
    local first_line=""
    if ! IFS= read -r -t 20 first_line <&3; then
        echo "kestemu did not report its address; its stderr:" >&2
        cat "$work/emu.err" >&2
        exit 1
    fi
    # Keep reading what kestemu prints so that it never blocks on a full pipe.
    cat <&3 >"$work/emu.log" &
    drain_pid=$!
    exec 3<&-
    port=${first_line##*:}
    if [[ "$first_line" != "listening on "* ]] || ! [[ "$port" =~ ^[0-9]+$ ]]; then
        echo "unexpected first line from kestemu: $first_line" >&2
        exit 1
    fi
}

# stop_emulator: stops kestemu and sets $emu_status to its exit status.
stop_emulator() {
    if [ -n "$emu_pid" ]; then
        kill "$emu_pid" 2>/dev/null
        wait "$emu_pid" 2>/dev/null
        emu_status=$?
        emu_pid=""
    fi
    if [ -n "$drain_pid" ]; then
        wait "$drain_pid" 2>/dev/null
        drain_pid=""
    fi
}
trap 'stop_emulator; rm -rf "$work"' EXIT

failures=0
checks=0
rc=0

# run ARGS...: runs kestctl against the emulator; stdout in $work/out, stderr in $work/err.
run() {
    "$kestctl" --port "$port" "$@" >"$work/out" 2>"$work/err"
    rc=$?
}

pass() {
    checks=$((checks + 1))
    echo "ok - $1"
}

fail() {
    checks=$((checks + 1))
    failures=$((failures + 1))
    echo "not ok - $1"
    echo "  exit status $rc; stdout:"
    sed 's/^/    /' "$work/out"
    echo "  stderr:"
    sed 's/^/    /' "$work/err"
}

# expect NAME STATUS [PATTERN_IN_STDOUT] [PATTERN_IN_STDERR]
expect() {
    local name=$1 status=$2 out_pattern=${3:-} err_pattern=${4:-}
    if [ "$rc" -ne "$status" ]; then
        fail "$name (expected exit status $status)"
    elif [ -n "$out_pattern" ] && ! grep -Eq -- "$out_pattern" "$work/out"; then
        fail "$name (stdout lacks /$out_pattern/)"
    elif [ -n "$err_pattern" ] && ! grep -Eq -- "$err_pattern" "$work/err"; then
        fail "$name (stderr lacks /$err_pattern/)"
    else
        pass "$name"
    fi
}

# expect_lines NAME EXPECTED_TEXT: stdout must be exactly these lines, each a pattern.
expect_lines() {
    local name=$1 expected=$2
    local got_count want_count
    got_count=$(wc -l <"$work/out")
    want_count=$(printf '%s\n' "$expected" | wc -l)
    if [ "$rc" -ne 0 ]; then
        fail "$name (expected exit status 0)"
        return
    fi
    if [ "$got_count" -ne "$want_count" ]; then
        fail "$name (expected $want_count lines, got $got_count)"
        return
    fi
    local i=0 line pattern
    while IFS= read -r pattern; do
        i=$((i + 1))
        line=$(sed -n "${i}p" "$work/out")
        if ! [[ "$line" =~ ^${pattern}$ ]]; then
            fail "$name (line $i '$line' does not match /$pattern/)"
            return
        fi
    done <<<"$expected"
    pass "$name"
}

# The clock is set to a summer noon so that the inverters produce power. A third account sits
# behind the two default ones.
start_emulator --clock "2026-06-21 13:00" --account Operator:oper1234:2

# Usage errors never reach the box.
"$kestctl" --help >"$work/out" 2>"$work/err"
rc=$?
expect "--help" 0 "^usage: kestctl"
run frobnicate
expect "unknown command" 2 "" "unknown command"
run history week total
expect "unknown resolution" 2 "" "resolution"
run history day D
expect "unknown module" 2 "" "module"
run history day total 0
expect "count zero" 2 "" "count"
run info extra
expect "extra argument" 2 "" "no arguments"
"$kestctl" --port 70000 info >"$work/out" 2>"$work/err"
rc=$?
expect "port out of range" 2 "" "port"
run --user 123456789012345678901 info
expect "user name too long" 2 "" "20 characters"
run passwd BasicUser 123456789012345678901
expect "new password too long" 2 "" "20 characters"
if grep -q "opened" "$work/emu.err"; then
    fail "usage errors open no connection"
else
    pass "usage errors open no connection"
fi

run info
expect "info" 0 "^access level: 4$"
expect "info serial" 0 "^serial: KEST-0042-7319$"
expect "info session time" 0 "^session time: [0-9]+ 10$"
expect "info version" 0 "^version: -?[0-9]+ -?[0-9]+ \(0x[0-9A-F]{4} 0x[0-9A-F]{4}\)$"
expect "info sleep state" 0 "^sleep state: [0-9]+$"
# kestemu logs each connection; the check that usage errors open none relies on that.
if grep -q "opened" "$work/emu.err"; then
    pass "kestemu logs connections"
else
    fail "kestemu logs connections"
fi

run power
watts='[0-9]+\.[0-9] W'
expect_lines "power" "inverter A: $watts
inverter B: $watts
inverter C: $watts
total: $watts"
if grep -q '^total: 0\.0 W$' "$work/out"; then
    fail "power at noon is not zero"
else
    pass "power at noon is not zero"
fi
# The total is the sum of the three inverters, to the tenth of a watt.
sum=$(awk '/^inverter/ { s += $3 * 10 } END { printf "%d", s + 0.5 }' "$work/out")
total=$(awk '/^total/ { printf "%d", $2 * 10 + 0.5 }' "$work/out")
if [ "$sum" = "$total" ]; then
    pass "power total is the sum"
else
    fail "power total is the sum ($sum tenths against $total)"
fi

run clock
expect_lines "clock" '2026-06-21 13:0[0-9]:[0-5][0-9] \(weekday 7\)'

run history day total 3
wh='[0-9]+\.[05] Wh'
expect_lines "history day total 3" "2026-06-21  $wh
2026-06-20  $wh
2026-06-19  $wh"

run history month A 4
kwh='[0-9]+\.[0-9]{2} kWh'
expect_lines "history month A 4" "2026-06  $kwh
2026-05  $kwh
2026-04  $kwh
2026-03  $kwh"

run history year B 2
expect_lines "history year B 2" "2026  [0-9]+\.[05] kWh
2025  [0-9]+\.[05] kWh"

# 100 ten-minute slots from 13:00 back reach 20:30 of the day before, across midnight.
run history 10min total 100
if [ "$rc" -eq 0 ] && [ "$(wc -l <"$work/out")" -eq 100 ] &&
    [ "$(sed -n 1p "$work/out" | cut -c1-16)" = "2026-06-21 13:00" ] &&
    [ "$(sed -n 79p "$work/out" | cut -c1-16)" = "2026-06-21 00:00" ] &&
    [ "$(sed -n 80p "$work/out" | cut -c1-16)" = "2026-06-20 23:50" ] &&
    [ "$(sed -n 100p "$work/out" | cut -c1-16)" = "2026-06-20 20:30" ] &&
    grep -Eq '^2026-06-21 01:00  0\.00 Wh$' "$work/out"; then
    pass "history 10min total 100"
else
    fail "history 10min total 100"
fi

# The box's yields add up across resolutions, so the units and the times-four flag can be
# checked against each other: ten-minute slots against their day, days against their month,
# months against their year.
# consistent NAME SUM REFERENCE: SUM lies within 0.2 % (at least 2 units) of REFERENCE.
consistent() {
    if [ -n "$2" ] && [ -n "$3" ] &&
        awk -v a="$2" -v b="$3" 'BEGIN { d = a - b; if (d < 0) d = -d; t = b * 0.002;
                                         if (t < 2) t = 2; exit !(d <= t) }'; then
        pass "$1"
    else
        rc=0
        echo "$2 against $3" >"$work/out"
        : >"$work/err"
        fail "$1"
    fi
}
run history 10min total 223
slots=$(awk '$1 == "2026-06-20" { s += $3 } END { print s }' "$work/out")
run history day total 60
day=$(awk '$1 == "2026-06-20" { print $2 }' "$work/out")
days=$(awk '$1 ~ /^2026-05-/ { s += $2 } END { print s / 1000 }' "$work/out")
consistent "ten-minute slots add up to their day" "$slots" "$day"
run history month total 18
month=$(awk '$1 == "2026-05" { print $2 }' "$work/out")
months=$(awk '$1 ~ /^2025-/ { s += $2 } END { print s }' "$work/out")
consistent "days add up to their month" "$days" "$month"
run history year total 2
year=$(awk '$1 == "2025" { print $2 }' "$work/out")
consistent "months add up to their year" "$months" "$year"

run accounts
expect "accounts" 0 "^0 +BasicUser +3 +1$"
expect "accounts administrator" 0 "^1 +Administrator +4 +1$"
expect "accounts third account" 0 "^2 +Operator +2 +1$"
if grep -Eq 'basic1234|admin1234|oper1234' "$work/out" "$work/err"; then
    fail "accounts never shows passwords"
else
    pass "accounts never shows passwords"
fi

run --password wrong info
expect "wrong password" 1 "" "Pc2Lan_Connect -12"

run --user BasicUser --password basic1234 passwd Administrator whatever1
expect "passwd needs level 4" 1 "" "access level 4"

run passwd Nobody newpass123
expect "passwd unknown account" 1 "" "no account named 'Nobody'"

run passwd basicuser newpass123
expect "passwd compares names exactly" 1 "" "no account named 'basicuser'"

run passwd BasicUser newpass123
expect "passwd" 0 "^password of account BasicUser changed$"

run --user BasicUser --password newpass123 info
expect "login with the new password" 0 "^access level: 3$"

run --user BasicUser --password basic1234 info
expect "old password refused" 1 "" "Pc2Lan_Connect -12"

run --user BasicUser --password newpass123 accounts
expect "accounts needs level 4" 1 "" "Pc2Lan_Account_Numbers -11: .*level 4"

run passwd Operator operator99
expect "passwd on the last account" 0 "^password of account Operator changed$"
run --user Operator --password operator99 info
expect "login to the last account with its new password" 0 "^access level: 2$"

run accounts
expect "passwd keeps value and flag" 0 "^0 +BasicUser +3 +1$"
expect "passwd keeps the other accounts" 0 "^2 +Operator +2 +1$"

emu_status=0
stop_emulator
if [ "$emu_status" -eq 0 ]; then
    pass "kestemu stops cleanly"
else
    rc=$emu_status
    : >"$work/out"
    cp "$work/emu.err" "$work/err"
    fail "kestemu stops cleanly"
fi

run info
expect "box gone" 1 "" "Pc2Lan_Connect -10"

# Inverter B is not fitted: it does not answer on the CAN bus, the monitor has no yield for it,
# and it counts nothing without making the total incomplete.
start_emulator --clock "2026-06-21 13:00" --inverters AC
run power
expect "power without inverter B" 0 "^inverter B: not fitted$"
sum=$(awk '/^inverter [AC]/ { s += $3 * 10 } END { printf "%d", s + 0.5 }' "$work/out")
total=$(awk '/^total/ { printf "%d", $2 * 10 + 0.5 }' "$work/out")
if [ "$rc" -eq 0 ] && [ "$sum" = "$total" ] && [ "$total" -gt 0 ]; then
    pass "power total without inverter B"
else
    fail "power total without inverter B"
fi
stop_emulator

# A box that drops the connection in the middle of a command: the failing call and its code.
start_emulator --clock "2026-06-21 13:00" --fault-close-after 2
run info
expect "connection lost during info" 1 "" "failed \(Pc2Lan_Get_Version -3: "
if [ -s "$work/out" ]; then
    fail "connection lost during info prints no partial result"
else
    pass "connection lost during info prints no partial result"
fi
stop_emulator

echo "$((checks - failures)) of $checks checks passed"
[ "$failures" -eq 0 ]
