#!/usr/bin/env bash
# libxlsxwriter, the workbook writer, as a DLL with zlib inside.
prefix=$1 work=$2 zlib=$3
. "$(dirname "$0")/common.sh"

src=$(unpack libxlsxwriter)
build=$work/build
rm -rf "$build" && mkdir -p "$build"
TK52K_WINDOWS_PREFIXES=$zlib nice -n 15 cmake -S "$src" -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$(cd "$(dirname "$0")" && pwd)/mingw.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_SHARED_LIBS=ON -DZLIB_ROOT="$zlib" \
    -DZLIB_INCLUDE_DIR="$zlib/include" -DZLIB_LIBRARY="$zlib/lib/libz.a" >"$work/cmake.log" 2>&1 ||
    { tail -20 "$work/cmake.log"; exit 1; }
nice -n 15 cmake --build "$build" -j"$jobs" >"$work/build.log" 2>&1 || { tail -30 "$work/build.log"; exit 1; }
cmake --install "$build" >/dev/null
# zlib is inside the DLL: whoever links it needs no -lz.
sed -i 's/ -lz$//' "$prefix/lib/pkgconfig/xlsxwriter.pc"
