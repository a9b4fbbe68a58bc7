#!/usr/bin/env bash
# exportcheck against a fresh data folder: wrong arguments and a folder without a database end
# with a message and a non-zero code, and a real export writes the header and one line per
# stored time stamp.
# usage: exportcheck_smoke.sh EXPORTCHECK INSTALL_SCRIPT
set -uo pipefail
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$tool" >/dev/null 2>&1; [ $? -eq 2 ] || fail "no arguments must answer the usage"
"$tool" "$work" Roof 4 "$work/x.csv" 2>"$work/err"; [ $? -eq 1 ] || fail "resolution 4 taken"
grep -q 'resolution' "$work/err" || fail "no message for resolution 4"
"$tool" "$work" Roof 0 "$work/x.csv" 2009-02-30 2009-03-01 2>"$work/err"
[ $? -eq 1 ] && grep -q 'period' "$work/err" || fail "30 February taken"
"$tool" "$work" Roof 0 "$work/x.csv" 2>"$work/err"; [ $? -eq 1 ] || fail "no database"
[ -e "$work/x.csv" ] && fail "a file written without a database"
[ -e "$work/KestUser.sqlite" ] && fail "an empty database created"

"$2" "$work/data" >/dev/null || fail "install step"
sqlite3 -bail "$work/data/KestUser.sqlite" <<'SQL' || fail "test data"
INSERT INTO kests (kest_name, kest_online) VALUES ('Roof', 1);
INSERT INTO modules (module_kest, module_type, module_ispresent)
    VALUES (1, 128, 1), (1, 4, 1), (1, 8, 0), (1, 12, 1);
INSERT INTO samples (sample_module, sample_timestamp, sample_resolution, sample_yield) VALUES
    (1, '2009-03-01 00:00:00', 71, 123), (2, '2009-03-01 00:00:00', 71, 7),
    (4, '2009-03-02 00:00:00', 71, 9), (1, '2009-03-03 00:00:00', 71, 1),
    (1, '2009-03-01 10:00:00', 36, 5);
SQL
"$tool" "$work/data" Roof 1 "$work/daily.csv" 2009-03-01 2009-03-02 >/dev/null || fail "export"
header=$(head -n 1 "$work/daily.csv" | tr -d '\r')
[ "$header" = "Roof(Total); Wh; Roof(A); Wh; Roof(C); Wh; " ] || fail "header: $header"
[ "$(wc -l <"$work/daily.csv")" -eq 3 ] || fail "daily lines: $(cat "$work/daily.csv")"
"$tool" "$work/data" Roof 1 "$work/all.csv" >/dev/null || fail "export of all"
[ "$(wc -l <"$work/all.csv")" -eq 4 ] || fail "all lines: $(cat "$work/all.csv")"
echo "exportcheck smoke: PASS"
