#!/usr/bin/env bash
# Checks that a spreadsheet program reads the export file as intended: a small database with
# known samples is exported at two resolutions, the spreadsheet program opens each file with ';'
# as the separator, and every cell it made is compared with the database: headers as text,
# dates and times recognised as date values, numbers equal to the stored yield times the factor
# in single precision. Prints PASS, or FAIL with the differing cells and exits non-zero.
#
# Installs the spreadsheet program (libreoffice-calc-nogui) when it is missing. Not part of the
# test run: it needs a large package and takes a while.
#
# usage: scripts/check-export-spreadsheet.sh [BUILD_DIR]   (default: build/exportcheck)
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-"$repo/build/exportcheck"}

need=()
command -v soffice >/dev/null || need+=(libreoffice-calc-nogui)
command -v sqlite3 >/dev/null || need+=(sqlite3)
command -v python3 >/dev/null || need+=(python3)
if [ ${#need[@]} -gt 0 ]; then
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        sudo="sudo"
    fi
    echo "installing: ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

if [ -f "$build/CMakeCache.txt" ]; then
    cmake -S "$repo" -B "$build" >/dev/null  # an existing build keeps its own settings
else
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARNEL_BENCH=OFF >/dev/null
fi
cmake --build "$build" -j2 --target exportcheck
tool="$build/tools/exportcheck/exportcheck"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$repo/data/install.sh" "$work/data" >/dev/null
db="$work/data/KestUser.sqlite"

# Box Roof: the total and inverter A present, B and C not. The values include a ten-minute
# yield of 123 (1.23000001907349 Wh), a daily one of 123 (61.5 Wh), a slot at midnight (date
# only), a time stamp the total has and A has not (A writes 0) and the largest stored values.
sqlite3 -bail "$db" <<'SQL'
INSERT INTO kests (kest_name, kest_ip, kest_port, kest_username, kest_password, kest_online)
    VALUES ('Roof', '127.0.0.1', 7777, 'user', 'secret', 1);
INSERT INTO modules (module_kest, module_type, module_color, module_pattern, module_linetype,
                     module_ispresent, module_ischecked_kwh, module_ischecked_w)
    VALUES (1, 128, 0, 0, 0, 1, 0, 0), (1, 4, 1, 0, 0, 1, 0, 0),
           (1, 8, 2, 0, 0, 0, 0, 0), (1, 12, 3, 0, 0, 0, 0, 0);
INSERT INTO samples (sample_module, sample_timestamp, sample_resolution, sample_yield) VALUES
    (1, '2009-03-01 00:00:00', 36, 0),      (2, '2009-03-01 00:00:00', 36, 0),
    (1, '2009-03-01 10:00:00', 36, 123),    (2, '2009-03-01 10:00:00', 36, 50),
    (1, '2009-03-01 10:10:00', 36, 7),
    (1, '2009-03-01 23:50:00', 36, 999999), (2, '2009-03-01 23:50:00', 36, 83333),
    (1, '2009-03-02 12:00:00', 36, 1),      (2, '2009-03-02 12:00:00', 36, 2),
    (1, '2009-03-03 12:00:00', 36, 5),
    (1, '2009-03-01 00:00:00', 71, 123),    (2, '2009-03-01 00:00:00', 71, 77),
    (1, '2009-03-02 00:00:00', 71, 60),     (2, '2009-03-02 00:00:00', 71, 1),
    (1, '2009-03-03 00:00:00', 71, 99);
SQL

cat >"$work/check.py" <<'PY'
"""The spreadsheet's cells against the database, as the export is meant to be read."""
import datetime
import re
import sqlite3
import struct
import sys
import xml.etree.ElementTree as ET
import zipfile

NS = {"m": "http://schemas.openxmlformats.org/spreadsheetml/2006/main"}
CODES = {0: (36, 0.01, "Wh"), 1: (71, 0.5, "Wh")}
LABELS = {128: "(Total)", 4: "(A)", 8: "(B)", 12: "(C)"}


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def lcid(info):
    """The spreadsheet language whose date order and decimal separator the file was written in."""
    date, dec = info["date-format"], info["decimal"]
    if dec == ",":
        return 1031  # day.month.year, decimal comma
    return 1033 if date.lower().startswith("m") else 2057  # month first, or day first


def cells(path):
    book = zipfile.ZipFile(path)
    strings = []
    if "xl/sharedStrings.xml" in book.namelist():
        for si in ET.fromstring(book.read("xl/sharedStrings.xml")).findall("m:si", NS):
            strings.append("".join(t.text or "" for t in si.iter("{%s}t" % NS["m"])))
    sheet = ET.fromstring(book.read("xl/worksheets/sheet1.xml"))
    rows = []
    for row in sheet.iter("{%s}row" % NS["m"]):
        line = {}
        for c in row.findall("m:c", NS):
            col = 0
            for ch in re.match(r"[A-Z]+", c.get("r")).group(0):
                col = col * 26 + ord(ch) - 64
            v = c.find("m:v", NS)
            kind = c.get("t", "n")
            if kind == "s":
                line[col - 1] = strings[int(v.text)]
            elif kind == "inlineStr":
                line[col - 1] = "".join(t.text or "" for t in c.iter("{%s}t" % NS["m"]))
            elif kind in ("str", "b", "e"):
                line[col - 1] = v.text if v is not None else ""
            else:
                line[col - 1] = float(v.text) if v is not None else None
        width = max(line) + 1 if line else 0
        rows.append([line.get(i) for i in range(width)])
    return rows


def expected(db, resolution, start, end):
    code, factor, unit = CODES[resolution]
    con = sqlite3.connect(db)
    mods = con.execute(
        "SELECT module_id, module_type FROM modules JOIN kests ON module_kest = kest_id "
        "WHERE kest_name = 'Roof' AND module_ispresent = 1 ORDER BY module_type = 128 DESC, "
        "module_type").fetchall()
    header = []
    for _, mtype in mods:
        header += ["Roof" + LABELS[mtype], unit]
    lines = []
    rows = con.execute(
        "SELECT sample_timestamp, sample_module, sample_yield FROM samples "
        "WHERE sample_resolution = ? AND sample_timestamp >= ? AND sample_timestamp < ? "
        "ORDER BY sample_timestamp", (code, start, end)).fetchall()
    by_time = {}
    for ts, module, value in rows:
        by_time.setdefault(ts, {})[module] = value
    for ts in sorted(by_time):
        when = datetime.datetime.strptime(ts, "%Y-%m-%d %H:%M:%S")
        serial = (when - datetime.datetime(1899, 12, 30)).total_seconds() / 86400
        line = []
        for module, _ in mods:
            line += [("date", ts, serial),
                     ("number", f32(by_time[ts].get(module, 0) * f32(factor)))]
        lines.append(line)
    return header, lines


def compare(db, xlsx, resolution, start, end):
    header, lines = expected(db, resolution, start, end)
    got = cells(xlsx)
    faults = []

    def blank(cell):
        return cell is None or (isinstance(cell, str) and not cell.strip())

    def trimmed(row):
        row = list(row)
        while row and blank(row[-1]):
            row.pop()
        return row

    if not got:
        return ["the sheet is empty"]
    first = trimmed(got[0])
    if [str(c).strip() if c is not None else "" for c in first] != header:
        faults.append("header: got %r, expected %r" % (first, header))
    if len(got) - 1 != len(lines):
        faults.append("%d data lines, expected %d" % (len(got) - 1, len(lines)))
    for r, (line, row) in enumerate(zip(lines, got[1:]), start=2):
        row = trimmed(row)
        if len(row) != len(line):
            faults.append("line %d: %d cells, expected %d: %r" % (r, len(row), len(line), row))
            continue
        for c, (want, cell) in enumerate(zip(line, row)):
            where = "line %d cell %d" % (r, c + 1)
            if want[0] == "date":
                if not isinstance(cell, float):
                    faults.append("%s: %r not recognised as the date %s" % (where, cell, want[1]))
                elif abs(cell - want[2]) > 1e-6:
                    faults.append("%s: date value %r, expected %r (%s)" %
                                  (where, cell, want[2], want[1]))
            elif not isinstance(cell, float):
                faults.append("%s: %r not recognised as the number %r" % (where, cell, want[1]))
            elif abs(cell - want[1]) > 1e-9:
                faults.append("%s: %r, expected %r" % (where, cell, want[1]))
    return faults


if __name__ == "__main__":
    if sys.argv[1] == "lcid":
        info = dict(l.split("=", 1) for l in open(sys.argv[2]).read().splitlines() if "=" in l)
        print(lcid(info))
    else:
        db, xlsx, resolution, start, end = sys.argv[2:7]
        faults = compare(db, xlsx, int(resolution), start, end)
        for f in faults:
            print("  " + f)
        sys.exit(1 if faults else 0)
PY

status=0
check() {
    local name=$1 resolution=$2 start=$3 end=$4 lastday=$5
    local csv="$work/$name.csv"
    if ! "$tool" "$work/data" Roof "$resolution" "$csv" 2009-03-01 "$lastday" >"$work/$name.info"
    then
        echo "FAIL $name: no export file"
        status=1
        return
    fi
    local language
    language=$(python3 "$work/check.py" lcid "$work/$name.info")
    # ';' separator, '"' quotes, UTF-8, from line 1, standard columns, the export's language,
    # quoted fields as text off, special numbers (dates and times) detected.
    soffice --headless "-env:UserInstallation=file://$work/profile" \
        --infilter="CSV:59,34,76,1,,$language,false,true" \
        --convert-to xlsx --outdir "$work/sheets" "$csv" >/dev/null 2>&1 || true
    if [ ! -s "$work/sheets/$name.xlsx" ]; then
        echo "FAIL $name: the spreadsheet program did not read $csv"
        status=1
        return
    fi
    if python3 "$work/check.py" compare "$db" "$work/sheets/$name.xlsx" "$resolution" \
        "$start" "$end" >"$work/$name.faults"; then
        echo "PASS $name ($(sed -n 's/^date-format=//p' "$work/$name.info"), language $language)"
    else
        echo "FAIL $name ($(sed -n 's/^date-format=//p' "$work/$name.info"), language $language):"
        cat "$work/$name.faults"
        echo "  the file:"
        sed 's/^/    /' "$csv"
        status=1
    fi
}

# The period 1 to 2 March 2009 covers 1 March up to, not including, 3 March.
check tenminutes 0 "2009-03-01 00:00:00" "2009-03-03 00:00:00" 2009-03-02
check daily 1 "2009-03-01 00:00:00" "2009-03-03 00:00:00" 2009-03-02
exit "$status"
