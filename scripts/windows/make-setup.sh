#!/usr/bin/env bash
# Stages what the Windows build installs and makes the setup program:
#   make-setup.sh BUILD   (BUILD: build-windows/, already built and deployed)
set -euo pipefail
out=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
host=x86_64-w64-mingw32
version=$(sed -n 's/^project(tk52k VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
stage=$out/setup/files
rm -rf "$out/setup" && mkdir -p "$stage"

# The programs, the manual, and what they load: DLLs and the plugins a
# user's desktop needs (the windows platform, not the test ones).
for exe in tk52k tk52k-logger tk52k-export tk52k-print tk52k-decode; do
    cp "$out/bin/$exe.exe" "$stage/"
done
cp "$out/bin/"help*.chm "$stage/"
cp "$out/bin/"*.dll "$stage/"
for dir in platforms sqldrivers printsupport styles imageformats translations; do
    mkdir -p "$stage/$dir"
    cp "$out/bin/$dir/"* "$stage/$dir/"
done
rm -f "$stage/platforms/"{qoffscreen,qminimal}.dll
# The compiler's runtime carries its symbols: half of the folder's size.
$host-strip --strip-unneeded "$stage/"*.exe "$stage/"lib{stdc++,gcc_s}*.dll 2>/dev/null || true

# The uninstaller removes these names and nothing else.
files=$out/setup/files.nsh
(
    cd "$stage"
    find . -type f | sort | sed 's|^\./||; s|/|\\|g; s|^|    Delete "$INSTDIR\\|; s|$|"|'
    find . -mindepth 1 -type d | sort -r | sed 's|^\./||; s|/|\\|g; s|^|    RMDir "$INSTDIR\\|; s|$|"|'
) >"$files"

setup=$out/tk52k-setup-$version-x64.exe
makensis -V2 -INPUTCHARSET UTF8 -DVERSION="$version" -DSTAGE="$stage" -DFILES="$files" -DOUTFILE="$setup" \
    "$root/packaging/windows/tk52k.nsi" >&2
printf '==> %s (%s)\n' "$setup" "$(du -h "$setup" | cut -f1)" >&2
