#!/usr/bin/env bash
# zlib (static), for the workbooks' zip.
prefix=$1 work=$2
. "$(dirname "$0")/common.sh"

src=$(unpack zlib)
cd "$src"
# Debian's source has no Windows makefile; the library is these files.
objs=()
for f in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast inflate \
    inftrees trees uncompr zutil; do
    nice -n 15 $host-gcc -O2 -c $f.c -o "$work/$f.o"
    objs+=("$work/$f.o")
done
mkdir -p "$prefix/include" "$prefix/lib"
$host-ar rcs "$prefix/lib/libz.a" "${objs[@]}"
cp zlib.h zconf.h "$prefix/include/"
