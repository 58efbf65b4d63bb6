#!/usr/bin/env bash
# Qt's base modules: Core, Gui, Widgets, Sql with the PostgreSQL driver,
# PrintSupport, Test and Concurrent (for Qwt), with the windows and offscreen
# platform plugins.
# Built where it is used (the prefix is the build folder), so no
# `make install` runs configure again. The source is Debian's, whose
# removed parts (sqlite, tablet support) are switched off.
prefix=$1 libpq=$3
. "$(dirname "$0")/common.sh"

# A build used where it was built reads its headers and qmake's specs from
# the source: the source lives in the prefix, trimmed to those once built.
work=$prefix/source
mkdir -p "$work"
src=$(unpack qtbase-opensource-src)
mkdir -p "$prefix"
cd "$prefix"
if [ ! -f .configured ]; then
    "$src/configure" -prefix "$prefix" -opensource -confirm-license \
        -release -shared -strip \
        -xplatform win32-g++ -device-option CROSS_COMPILE=$host- \
        -nomake examples -nomake tests \
        -no-opengl -no-dbus -no-icu -no-openssl -no-fontconfig \
        -qt-zlib -qt-pcre -qt-libpng -qt-freetype -qt-harfbuzz -no-libjpeg \
        -no-sql-sqlite -no-sql-odbc -no-sql-mysql -no-sql-db2 -no-sql-ibase \
        -no-sql-oci -no-sql-tds -sql-psql \
        -no-feature-tabletevent -no-feature-bearermanagement -no-direct2d \
        -no-feature-vulkan \
        "PSQL_INCDIR=$libpq/include" "PSQL_LIBS=-L$libpq/lib -lpq" \
        >configure.log 2>&1 || { tail -40 configure.log; exit 1; }
    touch .configured
fi
# The modules' Makefiles are made as their targets are built; only the
# one above them is made here (the top-level `make` would make them all).
[ -f src/Makefile ] || (cd src && ../bin/qmake -o Makefile "$src/src/src.pro" >/dev/null)
mk -C src sub-corelib sub-winmain sub-gui sub-platformsupport sub-widgets sub-sql sub-concurrent \
    sub-printsupport sub-testlib >build.log 2>&1 || { tail -40 build.log; exit 1; }
# The plugins the programs load; the plugins' own target would build Qt
# Network too, for plugins nobody loads. Their Makefile is made once the
# modules are there, which it asks for.
[ -f src/plugins/Makefile ] ||
    (mkdir -p src/plugins && cd src/plugins && ../../bin/qmake -o Makefile "$src/src/plugins/plugins.pro" >/dev/null)
mk -C src/plugins sub-platforms sub-sqldrivers sub-printsupport sub-styles sub-imageformats \
    >>build.log 2>&1 || { tail -40 build.log; exit 1; }
# Neither the build's objects nor the source's code are needed to build
# against it.
find "$prefix/src" -name '.obj' -type d -prune -exec rm -rf {} +
# (qmake compiles files of its specs' own to ask the compiler.)
find "$src" -path "$src/mkspecs" -prune -o -type f \( -name '*.cpp' -o -name '*.c' -o -name '*.cc' -o -name '*.mm' \) \
    -exec rm -f {} +
rm -rf "$src/tests" "$src/examples" "$src/doc"
