#!/usr/bin/env bash
# libpq, the PostgreSQL client library, from postgresql-15.
prefix=$1 work=$2
. "$(dirname "$0")/common.sh"

src=$(unpack postgresql-15)
build=$work/build
rm -rf "$build" && mkdir -p "$build"
cd "$build"
"$src/configure" --host=$host --prefix="$prefix" \
    --without-readline --without-zlib --without-icu --without-openssl \
    --without-gssapi --without-ldap --without-llvm >configure.log 2>&1 ||
    { tail -20 configure.log; exit 1; }
mk -C src/include install >/dev/null
# libpq links the shared-library flavour of these two alone.
mk -C src/common libpgcommon_shlib.a >/dev/null
mk -C src/port libpgport_shlib.a >/dev/null
mk -C src/interfaces/libpq install >/dev/null
