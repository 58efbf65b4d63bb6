#!/usr/bin/env bash
# Builds what the Windows build links against, from Debian's source packages,
# for x86_64-w64-mingw32: Qt's base modules, libpq, Qwt, zlib, libxlsxwriter
# and chmlib. Each piece is stamped when done, so an interrupted run resumes
# where it stopped.
#
# Usage: toolchain.sh PREFIX WORKDIR
# The caller keys PREFIX by a hash of this file: a changed recipe builds a
# fresh prefix instead of patching an old one.
set -euo pipefail

prefix=$1
work=$2
host=x86_64-w64-mingw32
jobs=${TK52K_WINDOWS_JOBS:-$(nproc)}
mkdir -p "$prefix" "$work"

say() { printf '==> %s\n' "$*" >&2; }

# Lower priority: the toolchain build runs beside other work.
mk() { nice -n 15 make -j"$jobs" "$@"; }

# Unpacks a Debian source package (Debian's patches applied) into $work.
unpack() {
    local pkg=$1 dir
    dir=$(find "$work" -maxdepth 1 -type d -name "$pkg-*" | head -n1)
    if [ -z "$dir" ]; then
        (cd "$work" && apt-get source -q "$pkg" >/dev/null 2>&1) ||
            { echo "apt-get source $pkg failed (deb-src lines missing?)" >&2; exit 1; }
        dir=$(find "$work" -maxdepth 1 -type d -name "$pkg-*" | head -n1)
    fi
    printf '%s\n' "$dir"
}

stamp() { [ -f "$prefix/.done-$1" ]; }
mark() { touch "$prefix/.done-$1"; }

# --- libpq ----------------------------------------------------------------
if ! stamp libpq; then
    say "libpq for $host"
    src=$(unpack postgresql-15)
    rm -rf "$work/pq-build" && mkdir -p "$work/pq-build"
    (cd "$work/pq-build" &&
        "$src/configure" --host=$host --prefix="$prefix/pq" \
            --without-readline --without-zlib --without-icu --without-openssl \
            --without-gssapi --without-ldap --without-llvm >configure.log 2>&1 ||
        { tail -20 configure.log; exit 1; })
    mk -C "$work/pq-build/src/include" install >/dev/null
    mk -C "$work/pq-build/src/common" >/dev/null
    mk -C "$work/pq-build/src/port" >/dev/null
    mk -C "$work/pq-build/src/interfaces/libpq" install >/dev/null
    mark libpq
fi

# --- Qt -------------------------------------------------------------------
# Built where it is used (prefix == build folder), so no `make install`
# re-runs configure. Only the modules and plugins the program needs.
if ! stamp qt; then
    say "Qt base for $host (the long part)"
    src=$(unpack qtbase-opensource-src)
    qt=$prefix/qt
    mkdir -p "$qt"
    if [ ! -f "$qt/.configured" ]; then
        (cd "$qt" && "$src/configure" -prefix "$qt" -opensource -confirm-license \
            -release -shared -strip \
            -xplatform win32-g++ -device-option CROSS_COMPILE=$host- \
            -nomake examples -nomake tests \
            -no-opengl -no-dbus -no-icu -no-openssl -no-fontconfig \
            -qt-zlib -qt-pcre -qt-libpng -qt-freetype -qt-harfbuzz -no-libjpeg \
            -no-sql-sqlite -no-sql-odbc -no-sql-mysql -no-sql-db2 -no-sql-ibase \
            -no-sql-oci -no-sql-tds -sql-psql \
            -no-feature-tabletevent -no-feature-bearermanagement -no-direct2d \
            -no-feature-vulkan \
            "PSQL_INCDIR=$prefix/pq/include" "PSQL_LIBS=-L$prefix/pq/lib -lpq" \
            >configure.log 2>&1 || { tail -40 configure.log; exit 1; })
        touch "$qt/.configured"
    fi
    mk -C "$qt/src" sub-corelib sub-gui sub-widgets sub-sql sub-printsupport \
        sub-testlib sub-plugins >"$qt/build.log" 2>&1 || { tail -40 "$qt/build.log"; exit 1; }
    mark qt
fi

echo "toolchain ready in $prefix" >&2
