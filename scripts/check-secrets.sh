#!/usr/bin/env bash
# Looks through the whole output of a test run (debug lines, notifications the tests print,
# sanitizer reports) for any password the tests give to a box or an account, as text and as the
# hex bytes of a frame dump. A password there means one of the program's channels leaks it.
# Usage: scripts/check-secrets.sh LOG...
set -euo pipefail

[ $# -gt 0 ] || { echo "usage: $0 LOG..." >&2; exit 2; }

# The emulator's two default accounts, every password the tests set or change to, and the
# test MQTT broker's password with the wrong one its tests try, and the broker password of the
# configuration tests.
passwords=(
    admin1234 basic1234 admin12345 changed99 changed2 fresh123 fresh567 fresh5678 fresh5679
    guest1234 guest99 kept1234 later123 lost1234 newpass99 nope1234 only1234 oper5678
    other5678 renewed1 second12 secret12 wrong1234 secret-password-too-long mqttpass77 mqttwrong77
    TopSecret-7319
)

patterns=$(mktemp)
trap 'rm -f "$patterns"' EXIT
for password in "${passwords[@]}"; do
    printf '%s\n' "$password"
    hex=$(printf '%s' "$password" | od -An -tx1 | tr -d ' \n')
    printf '%s\n' "$hex"
    printf '%s\n' "$(printf '%s' "$hex" | sed -E 's/(..)/\1 /g; s/ $//')"
done >"$patterns"

# Tested for a match first: a pipeline into head would end the search with SIGPIPE once twenty
# lines had matched, and under pipefail a large leak would then pass as none.
# A log that cannot be read is an error, not a clean log.
status=0
grep -q -i -F -f "$patterns" "$@" || status=$?
if [ "$status" -eq 0 ]; then
    grep -n -i -F -m 20 -f "$patterns" "$@" || true
    echo "check-secrets: a password the tests use appears in the output above" >&2
    exit 1
elif [ "$status" -ne 1 ]; then
    echo "check-secrets: cannot read the logs" >&2
    exit 2
fi
echo "check-secrets: no password of the tests in $(cat "$@" | wc -l) lines of output"
