#!/usr/bin/env bash
# Installs the Debian package into a fresh Debian 12 root and starts the program there from its
# menu entry, as a new user with an empty home: the program must keep running, the first start
# must have created the user's data folder with both databases, quarnel-fetch must answer, and
# quarneld must run from its example configuration until SIGTERM ends it.
# Needs root and Debian's package mirrors; takes a few minutes.
# Usage: scripts/check-package.sh [PACKAGE]   (default build/package/quarnel_2.0.0.2_amd64.deb)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
deb=$(realpath "${1:-$root/build/package/quarnel_2.0.0.2_amd64.deb}")
[ -f "$deb" ] || { echo "$0: no package at $deb (run scripts/package.sh)" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "$0: needs root (it builds a root file system)" >&2; exit 2; }
"$root/scripts/install-deps.sh" mmdebstrap

work=$(mktemp -d /tmp/quarnel-check.XXXXXX)
trap 'rm -rf "$work"' EXIT

# Runs inside the new root, after the package's file was copied to /tmp.
cat >"$work/inside.sh" <<'INSIDE'
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
deb=$(ls /tmp/quarnel_*.deb)
echo "== apt-get install $deb"
apt-get install -y -q "$deb" >/tmp/apt.log 2>&1 || { cat /tmp/apt.log; exit 1; }
grep -E '^(Setting up quarnel|[0-9]+ upgraded)' /tmp/apt.log
dpkg-query -W -f='Depends: ${Depends}\nRecommends: ${Recommends}\nSuggests: ${Suggests}\n' quarnel

# A user whose home has a blank in its name and starts out empty.
home="/home/solar user"
useradd --create-home --home-dir "$home" --skel /dev/null solar
runtime=/tmp/runtime-solar
install -d -m 0700 -o solar -g solar "$runtime"
as_user() {
    runuser -u solar -- env -i HOME="$home" USER=solar LOGNAME=solar PATH=/usr/bin:/bin \
        XDG_RUNTIME_DIR="$runtime" QT_QPA_PLATFORM=offscreen "$@"
}
echo "== home before the first start: $(ls -A "$home" | wc -l) entries"

exec_line=$(sed -n 's/^Exec=//p' /usr/share/applications/quarnel.desktop)
echo "== starting the menu entry's command: $exec_line"
as_user sh -c "exec $exec_line" >/tmp/quarnel.log 2>&1 &
pid=$!

folder="$home/.local/share/Vorlen/Tarnwell Connect/User"
for _ in $(seq 100); do
    [ -e "$folder/KestUser.sqlite" ] && [ -e "$folder/language.sqlite" ] && break
    sleep 0.1
done
sleep 5
failed=0
if kill -0 "$pid" 2>/dev/null; then
    echo "program: still running after 5 s"
else
    echo "program: ended early"; failed=1
fi
for f in KestUser.sqlite language.sqlite; do
    stat -c '%A %U %n' "$folder/$f" || failed=1
done
check_mode() {
    [ "$(stat -c %a "$folder/$1" 2>/dev/null)" = "$2" ] || { echo "$1 is not mode $2"; failed=1; }
}
check_mode KestUser.sqlite 600
check_mode language.sqlite 644
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
echo "== the program's output:"
cat /tmp/quarnel.log

# The installed quarnel-fetch downloads from the installed emulator into the user's database.
echo "== quarnel-fetch against kestemu"
as_user kestemu --port 17777 --quiet --clock "2026-06-20 12:00" >/tmp/kestemu.log 2>&1 &
box=$!
as_user sqlite3 "$folder/KestUser.sqlite" \
    "INSERT INTO kests (kest_name, kest_ip, kest_port, kest_username, kest_password, kest_online)
     VALUES ('Roof', '127.0.0.1', 17777, 'Administrator', 'admin1234', 1);
     INSERT INTO modules (module_kest, module_type, module_color, module_pattern,
                          module_linetype, module_ispresent, module_ischecked_kwh,
                          module_ischecked_w)
     VALUES (last_insert_rowid(), 128, 0, 0, 0, 1, 0, 0);"
status=0
as_user quarnel-fetch --request-delay 0 --resolution day --resolution year || status=$?
kill "$box" 2>/dev/null || true
echo "quarnel-fetch: exit code $status"
[ "$status" -eq 0 ] || failed=1

echo "== quarnel-fetch --coverage"
status=0
as_user quarnel-fetch --coverage || status=$?
echo "quarnel-fetch --coverage: exit code $status"
[ "$status" -eq 0 ] || failed=1

# quarneld: its page, its user unit naming the installed program, its example configuration.
# Run from that example, made private and with MQTT off (no broker here), it keeps the box
# connected until SIGTERM ends it with 0; a configuration other users can read it refuses with 2.
echo "== quarneld"
for f in /usr/bin/quarneld /usr/share/man/man1/quarneld.1.gz \
         /usr/share/doc/quarnel/quarneld.conf.example /usr/lib/systemd/user/quarneld.service; do
    [ -f "$f" ] || { echo "missing: $f"; failed=1; }
done
grep -qx 'ExecStart="/usr/bin/quarneld"' /usr/lib/systemd/user/quarneld.service ||
    { echo "quarneld.service does not start /usr/bin/quarneld"; failed=1; }
as_user quarneld --version || failed=1
config="$home/.config/quarnel/quarneld.conf"
as_user install -D -m 600 /usr/share/doc/quarnel/quarneld.conf.example "$config"
as_user sed -i 's/^host = localhost$/host =/' "$config"
as_user kestemu --port 17777 --quiet --clock "2026-06-20 12:00" >/tmp/kestemu.log 2>&1 &
box=$!
# Through a shell of the user's, so that the signal reaches quarneld itself and its own exit
# code is the one seen.
as_user sh -c 'quarneld --request-delay 0 >/tmp/quarneld.log 2>&1 & echo $! >/tmp/quarneld.pid
               wait $!; echo $? >/tmp/quarneld.rc' &
runner=$!
sleep 5
daemon=$(cat /tmp/quarneld.pid)
if kill -0 "$daemon" 2>/dev/null; then
    echo "quarneld: still running after 5 s"
else
    echo "quarneld: ended early"; failed=1
fi
kill -TERM "$daemon" 2>/dev/null || true
wait "$runner" 2>/dev/null || true
kill "$box" 2>/dev/null || true
status=$(cat /tmp/quarneld.rc 2>/dev/null || echo none)
echo "quarneld after SIGTERM: exit code $status"
[ "$status" = 0 ] || failed=1
echo "== quarneld's output:"
cat /tmp/quarneld.log
as_user chmod 640 "$config"
status=0
as_user timeout 30 quarneld || status=$?
echo "quarneld with a group-readable configuration: exit code $status"
[ "$status" -eq 2 ] || failed=1

# Removing the package takes its files and leaves the user's data alone.
echo "== apt-get purge quarnel"
apt-get purge -y -q quarnel >/tmp/purge.log 2>&1 || { cat /tmp/purge.log; failed=1; }
[ ! -e /usr/bin/quarnel ] || { echo "/usr/bin/quarnel is still there"; failed=1; }
[ ! -e /usr/bin/quarneld ] || { echo "/usr/bin/quarneld is still there"; failed=1; }
[ -e "$folder/KestUser.sqlite" ] || { echo "the user's database went with the package"; failed=1; }
echo "purged; the user's data folder stays"

[ "$failed" -eq 0 ] && echo "== install check passed" || echo "== install check FAILED"
exit "$failed"
INSIDE

echo "== building a fresh bookworm root with mmdebstrap"
mmdebstrap --variant=apt --mode=root --include=passwd \
    --customize-hook="copy-in '$deb' '$work/inside.sh' /tmp" \
    --customize-hook='chroot "$1" bash /tmp/inside.sh' \
    bookworm "$work/root"
