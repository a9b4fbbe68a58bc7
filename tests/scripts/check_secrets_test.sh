#!/usr/bin/env bash
# scripts/check-secrets.sh against logs with no leak, a small leak (as text and as frame bytes)
# and a large one, which once passed as clean when its output pipeline died of SIGPIPE.
set -uo pipefail
check=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0

expect() {
    local want=$1 name=$2 log=$3 status=0
    "$check" "$log" >"$dir/out" 2>&1 || status=$?
    if [ "$status" -ne "$want" ]; then
        echo "FAIL $name: exit $status, expected $want"
        head -n 5 "$dir/out"
        failures=$((failures + 1))
    else
        echo "ok   $name"
    fi
}

seq 1 100000 | sed 's/^/quarnel.debug: reply /' >"$dir/clean.log"
expect 0 "a clean log passes" "$dir/clean.log"

{ cat "$dir/clean.log"; echo "login as admin with admin1234"; } >"$dir/text.log"
expect 1 "one password as text fails" "$dir/text.log"

{ cat "$dir/clean.log"; echo "frame: 02 61 64 6d 69 6e 31 32 33 34 03"; } >"$dir/bytes.log"
expect 1 "one password as spaced frame bytes fails" "$dir/bytes.log"

yes "password secret12 in a notification" | head -n 100000 >"$dir/large.log"
expect 1 "100 000 leaking lines fail" "$dir/large.log"
if [ "$(grep -c secret12 "$dir/out")" -gt 20 ]; then
    echo "FAIL a large leak prints more than twenty of its lines"
    failures=$((failures + 1))
fi

expect 2 "a missing log is an error, not a clean one" "$dir/missing.log"
[ "$failures" -eq 0 ]
