#!/bin/sh
# Fills the table invoice of an empty database with ROWS readings (default 100
# million) of SOURCES meters (default 1) logging RATE readings a second each
# (default 17, the meter's line rate) from START on, laid out as the program
# makes the table: monthly partitions, a default partition, the
# (create_time, id) index.
#
# The signal is a meter's: a slow swing of a few volts with noise, three
# decimals ("-3.142"), an overload ("+ .OL ") now and then, and logging that
# stops for an hour each day (23 hours of readings, then a gap). The meters'
# readings interleave as they would arrive.
#
# Everything is made by the server with generate_series, a few million rows
# per statement; the index is built once the rows are in, which is several
# times quicker than keeping it up while inserting. The summaries are not
# made here: `tk52k-export --build-summaries` makes them, as for any table
# that existed before them.
#
# The database is the one the program would use (TK52K_DB_HOST, _PORT, _NAME,
# _USER, _PASSWORD); it must exist and hold no table invoice.
#
#   make-history-table.sh [ROWS [START [SOURCES [RATE]]]]
set -eu

rows=${1:-100000000}
start=${2:-2025-11-01}
sources=${3:-1}
rate=${4:-17}
export PGHOST="${TK52K_DB_HOST:-127.0.0.1}"
export PGPORT="${TK52K_DB_PORT:-5432}"
export PGDATABASE="${TK52K_DB_NAME:-dmmdatad}"
export PGUSER="${TK52K_DB_USER:-postgres}"
export PGPASSWORD="${TK52K_DB_PASSWORD:-k482915}"

sql() { psql -X -q -v ON_ERROR_STOP=1 "$@"; }
now() { date +%s; }
began=$(now)

# Readings of one meter per day of logging, and the time of reading j of
# meter s: day j / per_day, then j mod per_day readings at the rate, each
# meter a fraction of a period after the one before.
per_day=$((23 * 3600 * rate))
time_of="timestamp '$start' + ((j::bigint / $per_day) * 86400000 + (j % $per_day) * 1000 / $rate + s * 1000 / ($rate * $sources)) * interval '1 millisecond'"

sql <<SQL
CREATE SEQUENCE invoice_id_seq AS bigint;
CREATE TABLE invoice (
    id           bigint NOT NULL DEFAULT nextval('invoice_id_seq'),
    funcstr      text,
    datavaluestr text,
    unitstr      text,
    frastr       text,
    create_time  timestamp(3) without time zone,
    source       text
) PARTITION BY RANGE (create_time);
ALTER SEQUENCE invoice_id_seq OWNED BY invoice.id;
CREATE TABLE invoice_default PARTITION OF invoice DEFAULT;
SQL

# The months the readings cover, each a partition.
last=$(sql -At -c "SELECT $time_of FROM (SELECT ($rows - 1) / $sources AS j, $sources - 1 AS s) x")
month=$(date -d "$(date -d "$start" +%Y-%m-01)" +%Y-%m-%d)
while [ "$(date -d "$month" +%s)" -le "$(date -d "$last" +%s)" ]; do
    next=$(date -d "$month +1 month" +%Y-%m-%d)
    sql -c "CREATE TABLE invoice_y$(date -d "$month" +%Ym%m) PARTITION OF invoice FOR VALUES FROM ('$month') TO ('$next')"
    month=$next
done

chunk=5000000
first=1
while [ "$first" -le "$rows" ]; do
    end=$((first + chunk - 1))
    [ "$end" -le "$rows" ] || end=$rows
    sql <<SQL
INSERT INTO invoice (id, funcstr, datavaluestr, unitstr, frastr, create_time, source)
SELECT i, 'DCV',
       CASE WHEN (j + 7 * s) % 100003 = 0 THEN '+ .OL '
            ELSE to_char(least(7.999, greatest(-7.999,
                     round((3 * sin(j * 2 * pi() / ($rate * 600.0) + s) + 0.5 * s / $sources
                            + ((j * 7919 + s * 104729) % 2001 - 1000) / 20000.0)::numeric, 3))), 'FM0.000')
       END,
       'V', '1', $time_of, 'meter-' || s
  FROM generate_series($first::bigint, $end::bigint) AS i,
       LATERAL (SELECT (i - 1) % $sources AS s, (i - 1) / $sources AS j) x;
SQL
    echo "make-history-table: rows $first..$end after $(( $(now) - began )) s" >&2
    first=$((end + 1))
done

sql <<SQL
SELECT setval('invoice_id_seq', $rows);
CREATE INDEX invoice_create_time_id_idx ON invoice (create_time, id);
ANALYZE invoice;
SQL
echo "make-history-table: $rows rows of $sources meters and the index after $(( $(now) - began )) s" >&2
