#!/usr/bin/env bash
# Runs a command beside a throwaway PostgreSQL 15 server: a cluster in a temporary folder on a
# free loopback port, which libpq's variables (PGHOST, PGPORT, PGUSER, PGPASSWORD) name while
# the command runs, and which is stopped and removed when it ends. The tests' PostgreSQL runs
# and the benchmarks use it.
# The cluster runs without fsync, which suits tests. QUARNEL_PG_OPTIONS adds server settings,
# blank-separated NAME=VALUE pairs that win over those defaults, e.g. for a benchmark that must
# see a durable server: QUARNEL_PG_OPTIONS="fsync=on shared_buffers=128MB".
# Usage: [QUARNEL_PG_OPTIONS=...] scripts/with-postgresql.sh COMMAND [ARGUMENT...]
set -euo pipefail

if [ $# -eq 0 ]; then
    echo "usage: $0 COMMAND [ARGUMENT...]" >&2
    exit 2
fi
command -v pg_virtualenv >/dev/null || {
    echo "$0: pg_virtualenv is missing: run scripts/install-deps.sh" >&2
    exit 1
}
# -t: the cluster lives in a temporary folder even for root, so that several runs on one
# machine never meet in the system's cluster list. Room for two test programs at once, each with a few connections and a database of its own.
options=(-t -o max_connections=200)
for setting in ${QUARNEL_PG_OPTIONS:-}; do
    case "$setting" in
    [a-z]*=*) options+=(-o "$setting") ;;
    *) echo "$0: QUARNEL_PG_OPTIONS: \"$setting\" is no NAME=VALUE setting" >&2
       exit 2 ;;
    esac
done
exec pg_virtualenv -v 15 "${options[@]}" "$@"
