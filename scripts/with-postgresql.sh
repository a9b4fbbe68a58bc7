#!/usr/bin/env bash
# Runs a command beside a throwaway PostgreSQL 15 server: a cluster in a temporary folder on a
# free loopback port, which libpq's variables (PGHOST, PGPORT, PGUSER, PGPASSWORD) name while
# the command runs, and which is stopped and removed when it ends. The tests' PostgreSQL runs
# and the benchmarks use it.
# Usage: scripts/with-postgresql.sh COMMAND [ARGUMENT...]
set -euo pipefail

if [ $# -eq 0 ]; then
    echo "usage: $0 COMMAND [ARGUMENT...]" >&2
    exit 2
fi
command -v pg_virtualenv >/dev/null || {
    echo "$0: pg_virtualenv is missing: run scripts/install-deps.sh" >&2
    exit 1
}
# Room for two test programs at once, each with a few connections and a database of its own.
# -t keeps the cluster's configuration in the temporary folder for root too: otherwise every
# run as root names the same cluster 15/regress in /etc/postgresql, and a second run beside the
# first refuses to start.
exec pg_virtualenv -t -v 15 -o max_connections=200 "$@"
