#!/bin/sh
# Figures of the summaries on tables of ROWS readings of SOURCES meters
# (default: 10 and 100 million rows, one and 50 meters at line rate), each on
# a private PostgreSQL server in a temporary folder (fsync off), so the
# shared server is never touched: the time to make the table, the time to
# build its summaries (tk52k-export --build-summaries), then bench_summaries
# (the reads beside psql's plain queries and the sizes). One table at a time;
# each is dropped before the next is made, so about 12 GB of disk serve for
# 100 million rows.
#
#   summaries-bench.sh BUILD_DIR [ROWS:SOURCES ...]
# e.g.  bench/history-table/summaries-bench.sh build 10000000:1 100000000:50
set -eu

build=$(cd "$1" && pwd)
shift
[ $# -gt 0 ] || set -- 10000000:1 10000000:50 100000000:1 100000000:50
here=$(cd "$(dirname "$0")" && pwd)
pgbin=/usr/lib/postgresql/15/bin
port=5497
dir=$(mktemp -d "${TMPDIR:-/tmp}/tk52k-summaries-XXXXXX")
as_postgres() { if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }
[ "$(id -u)" = 0 ] && chown postgres "$dir"
stop() {
    as_postgres "$pgbin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null 2>&1 || true
    rm -rf "$dir"
}
trap stop EXIT INT TERM

as_postgres "$pgbin/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --no-locale --no-sync >/dev/null
as_postgres "$pgbin/pg_ctl" -D "$dir/data" -w -l "$dir/log" -o "-p $port -k $dir -c listen_addresses= \
    -c fsync=off -c synchronous_commit=off -c full_page_writes=off -c shared_buffers=2GB -c work_mem=64MB \
    -c maintenance_work_mem=1GB -c max_wal_size=16GB -c checkpoint_timeout=30min" start >/dev/null

export TK52K_DB_HOST="$dir" TK52K_DB_PORT=$port TK52K_DB_USER=postgres TK52K_DB_NAME=bench
for config in "$@"; do
    rows=${config%:*}
    sources=${config#*:}
    psql -X -q -h "$dir" -p $port -U postgres -d postgres -c "DROP DATABASE IF EXISTS bench" -c "CREATE DATABASE bench"
    began=$(date +%s)
    sh "$here/make-history-table.sh" "$rows" 2025-11-01 "$sources" 17 >/dev/null
    made=$(date +%s)
    "$build/bin/tk52k-export" --build-summaries 2>"$dir/build.log" || { cat "$dir/build.log" >&2; exit 1; }
    built=$(date +%s)
    echo "{\"bench\":\"summaries\",\"rows\":$rows,\"sources\":$sources,\"make_table_s\":$((made - began)),\"build_summaries_s\":$((built - made))}"
    "$build/bin/bench_summaries" | sed "s/\"rows\":/\"sources\":$sources,\"rows\":/"
done
