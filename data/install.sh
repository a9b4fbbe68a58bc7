#!/usr/bin/env bash
# Creates the program's databases in a data folder from the SQL scripts beside this file.
# An existing database is never touched. The user database holds the boxes' passwords, so it
# is readable by its owner only (mode 0600); the language database holds no secrets (0644).
#
# With --postgresql URI the user database is the PostgreSQL database the connection URI names
# (postgresql://user@host/database; the password from ~/.pgpass or PGPASSWORD): its tables and
# shipped rows are made when it has none yet, and a database that has them is left as it is.
# The folder then gets the language database and a database.conf that names the URI.
# Usage: data/install.sh [--postgresql URI] FOLDER
set -euo pipefail

usage() {
    echo "usage: $0 [--postgresql URI] FOLDER" >&2
    exit 2
}
url=""
if [ $# -ge 1 ] && [ "$1" = "--postgresql" ]; then
    [ $# -ge 2 ] && [ -n "$2" ] || usage
    url=$2
    shift 2
fi
if [ $# -ne 1 ] || [ -z "$1" ]; then
    usage
fi
here=$(cd "$(dirname "$0")" && pwd)
folder=$1
command -v sqlite3 >/dev/null || { echo "$0: sqlite3 is not installed" >&2; exit 1; }
if [ -n "$url" ]; then
    case "$url" in
    postgresql://* | postgres://*) ;;
    *) echo "$0: $url is no PostgreSQL connection URI (postgresql://user@host/database)" >&2
       exit 2 ;;
    esac
    command -v psql >/dev/null || { echo "$0: psql is not installed" >&2; exit 1; }
fi
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

# The URI as messages show it: without a password.
shown_url() {
    printf '%s\n' "$1" | sed -E 's#^([a-z]+://)([^/@:]*):[^/@]*@#\1\2:***@#; s#([?&]password=)[^&]*#\1***#'
}

install_postgresql() {
    local shown present
    shown=$(shown_url "$url")
    # The tables are made in one transaction, and only when the database has no version table:
    # a second install, or one beside another, changes nothing.
    if ! present=$(psql "$url" -X -q -At -v ON_ERROR_STOP=1 \
        -c "SELECT count(*) FROM pg_tables WHERE schemaname = current_schema() AND tablename = 'version'" 2>&1); then
        echo "$0: cannot reach $shown: ${present//"$url"/$shown}" >&2
        return 1
    fi
    if [ "$present" != 0 ]; then
        echo "$shown has the user database, left as it is"
        return 0
    fi
    local output
    if ! output=$(psql "$url" -X -q -v ON_ERROR_STOP=1 --single-transaction \
        -f "$here/KestUser.postgresql.sql" 2>&1); then
        echo "$0: the user database was not made in $shown (nothing of it is kept):" >&2
        printf '%s\n' "${output//"$url"/$shown}" >&2
        return 1
    fi
    echo "created the user database in $shown"
}

# database.conf names the store for every program that uses this folder.
install_store_file() {
    local target="$folder/database.conf"
    if [ -e "$target" ]; then
        echo "$target exists, left as it is"
        return 0
    fi
    local partial
    partial=$(umask 077 && mktemp "$target.XXXXXX")
    printf '[database]\nurl = %s\n' "$url" >"$partial"
    if ! ln "$partial" "$target" 2>/dev/null; then
        rm -f "$partial"
        echo "$target exists, left as it is"
        return 0
    fi
    rm -f "$partial"
    echo "created $target"
}

if [ -n "$url" ]; then
    install_postgresql
    install_store_file
else
    install_database "$here/KestUser.sql" "$folder/KestUser.sqlite" 600
fi
install_database "$here/language.sql" "$folder/language.sqlite" 644
