#!/usr/bin/env bash
# Creates the program's databases in a data folder from the SQL scripts beside this file.
# An existing database is never touched. The user database holds the boxes' passwords, so it
# is readable by its owner only (mode 0600); the language database holds no secrets (0644).
# Usage: data/install.sh FOLDER
set -euo pipefail

if [ $# -ne 1 ] || [ -z "$1" ]; then
    echo "usage: $0 FOLDER" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
folder=$1
command -v sqlite3 >/dev/null || { echo "$0: sqlite3 is not installed" >&2; exit 1; }
mkdir -p "$folder"

install_database() {
    local script=$1 target=$2 mode=$3
    if [ -e "$target" ]; then
        echo "$target exists, left as it is"
        return 0
    fi
    local partial
    partial=$(umask 077 && mktemp "$target.XXXXXX")
    if ! sqlite3 -bail "$partial" <"$script" >/dev/null; then
        rm -f "$partial" "$partial-wal" "$partial-shm"
        echo "$0: $script failed" >&2
        return 1
    fi
    chmod "$mode" "$partial"
    # A hard link fails when the target appeared meanwhile, so nothing is ever overwritten.
    if ! ln "$partial" "$target" 2>/dev/null; then
        rm -f "$partial"
        if [ -e "$target" ] || [ -L "$target" ]; then
            echo "$target exists, left as it is"
            return 0
        fi
        echo "$0: cannot create $target" >&2
        return 1
    fi
    rm -f "$partial"
    echo "created $target"
}

install_database "$here/KestUser.sql" "$folder/KestUser.sqlite" 600
install_database "$here/language.sql" "$folder/language.sqlite" 644
