#!/bin/sh
# Fills the table invoice of an empty database with ROWS readings (default 100
# million), one every 333 ms from START on (about 260 000 a day, so 100
# million cover some thirteen months), laid out as the program makes the
# table: monthly partitions, a default partition, the (create_time, id) index.
# Everything is made by the server with generate_series, a month per
# statement; the index is built once the rows are in, which is several times
# quicker than keeping it up while inserting.
#
# The database is the one the program would use (TK52K_DB_HOST, _PORT, _NAME,
# _USER, _PASSWORD); it must exist and hold no table invoice.
#
#   make-history-table.sh [ROWS [START]]
set -eu

rows=${1:-100000000}
start=${2:-2025-11-01}
export PGHOST="${TK52K_DB_HOST:-127.0.0.1}"
export PGPORT="${TK52K_DB_PORT:-5432}"
export PGDATABASE="${TK52K_DB_NAME:-dmmdatad}"
export PGUSER="${TK52K_DB_USER:-postgres}"
export PGPASSWORD="${TK52K_DB_PASSWORD:-k482915}"

sql() { psql -X -q -v ON_ERROR_STOP=1 "$@"; }
now() { date +%s; }
began=$(now)

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

# One month at a time: the rows i of [first, last) whose time falls in it.
month=$(date -d "$(date -d "$start" +%Y-%m-01)" +%Y-%m-%d)
first=1
while [ "$first" -le "$rows" ]; do
    next=$(date -d "$month +1 month" +%Y-%m-%d)
    name=invoice_y$(date -d "$month" +%Ym%m)
    # The last row i of this month: start + (i - 1) * 333 ms < next.
    last=$(sql -At -c "SELECT least($rows, ceil(extract(epoch FROM timestamp '$next' - timestamp '$start') * 1000 / 333)::bigint)")
    sql <<SQL
CREATE TABLE $name PARTITION OF invoice FOR VALUES FROM ('$month') TO ('$next');
INSERT INTO $name (id, funcstr, datavaluestr, unitstr, frastr, create_time, source)
SELECT i, 'DCV', to_char(((i * 7919) % 40000 - 20000) / 10000.0, 'FM0.0000'), 'V', '2',
       timestamp '$start' + (i - 1) * interval '333 milliseconds',
       'meter-' || (i % 8)
  FROM generate_series($first::bigint, $last::bigint) AS i;
SQL
    echo "make-history-table: $name rows $first..$last after $(( $(now) - began )) s" >&2
    first=$((last + 1))
    month=$next
done

sql <<SQL
SELECT setval('invoice_id_seq', $rows);
CREATE INDEX invoice_create_time_id_idx ON invoice (create_time, id);
ANALYZE invoice;
SQL
echo "make-history-table: $rows rows and the index after $(( $(now) - began )) s" >&2
