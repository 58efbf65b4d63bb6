#!/usr/bin/env bash
# Makes sure a PostgreSQL server answers on 127.0.0.1:5432 with the program's
# login (postgres / k482915) and the database dmmdatad. Idempotent and quick
# when everything is already there. A server that already answers on 5432 is
# left alone (it may be someone else's); only the login and database are
# checked there.
set -euo pipefail
. "$(dirname "$0")/common.sh"

PG_VERSION_WANTED=15
DB_HOST=127.0.0.1
DB_PORT_WANTED=5432
DB_PASSWORD=k482915
DB_NAME=dmmdatad

# Commands that run as the postgres user need a working directory it may read.
cd /

as_postgres() { as_root runuser -u postgres -- "$@"; }

login_works() {
    PGPASSWORD=$DB_PASSWORD PGCONNECT_TIMEOUT=2 \
        psql -X -q -w -h "$DB_HOST" -p "$DB_PORT_WANTED" -U postgres -d "$1" -tAc 'select 1' >/dev/null 2>&1
}

# Everything in place: nothing to do.
if login_works "$DB_NAME"; then
    exit 0
fi

if ! pg_isready -q -h "$DB_HOST" -p "$DB_PORT_WANTED" -t 1; then
    if [ ! -d "/etc/postgresql/$PG_VERSION_WANTED/main" ]; then
        say "creating PostgreSQL cluster $PG_VERSION_WANTED/main on port $DB_PORT_WANTED"
        as_root pg_createcluster "$PG_VERSION_WANTED" main --port "$DB_PORT_WANTED" >/dev/null
    fi
    if ! as_root pg_ctlcluster "$PG_VERSION_WANTED" main status >/dev/null 2>&1; then
        say "starting PostgreSQL cluster $PG_VERSION_WANTED/main"
        as_root pg_ctlcluster "$PG_VERSION_WANTED" main start
    fi
fi

if ! pg_isready -q -h "$DB_HOST" -p "$DB_PORT_WANTED" -t 30; then
    say "PostgreSQL does not answer on $DB_HOST:$DB_PORT_WANTED"
    exit 1
fi

if ! login_works postgres; then
    say "setting the password of the postgres login"
    as_postgres psql -X -q -p "$DB_PORT_WANTED" -c "ALTER USER postgres PASSWORD '$DB_PASSWORD'" >/dev/null
fi

if ! login_works "$DB_NAME"; then
    say "creating database $DB_NAME"
    PGPASSWORD=$DB_PASSWORD createdb -w -h "$DB_HOST" -p "$DB_PORT_WANTED" -U postgres "$DB_NAME"
fi

login_works "$DB_NAME"
