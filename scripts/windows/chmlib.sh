#!/usr/bin/env bash
# chmlib (static), which the program's own help viewer reads help.chm with
# where Windows has no help program.
prefix=$1 work=$2
. "$(dirname "$0")/common.sh"

src=$(unpack chmlib)
cd "$src/src"
mkdir -p "$prefix/include" "$prefix/lib"
for f in chm_lib lzx; do
    nice -n 15 $host-gcc -O2 -DWIN32 -Dffs=__builtin_ffs -c $f.c -o "$work/$f.o"
done
$host-ar rcs "$prefix/lib/libchm.a" "$work/chm_lib.o" "$work/lzx.o"
cp chm_lib.h "$prefix/include/"
