#!/usr/bin/env bash
# check-package.sh BUILD_DIR logger|no-logger
# Builds the .deb with CPack and checks that it holds the programs, the
# manual, the desktop entry and icon (and the logger's service when the
# logger is built), holds no test programs, that the programs run from the
# unpacked tree, and that every dependency is met by the packages installed here.
set -uo pipefail
build=$1
logger=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! cpack -G DEB -B "$scratch" --config "$build/CPackConfig.cmake" >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log"
    echo "FAIL: cpack"
    exit 1
fi
debs=("$scratch"/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: expected one .deb, got: ${debs[*]}"; exit 1; }
deb=${debs[0]}

listing=$(dpkg-deb -c "$deb")
files=$(awk '{print $6}' <<<"$listing" | sed 's|^\./|/|')
has() { grep -qxF "$1" <<<"$files" || fail "$1 is not in the package"; }

for f in /usr/bin/tk52k /usr/bin/tk52k-sim /usr/bin/tk52k-decode /usr/bin/tk52k-export \
         /usr/share/tk52k/help.chm /usr/share/applications/tk52k.desktop \
         /usr/share/icons/hicolor/scalable/apps/tk52k.svg; do
    has "$f"
done
if [ "$logger" = logger ]; then
    has /usr/bin/tk52k-logger
    has /usr/lib/systemd/system/tk52k-logger.service
    has /etc/default/tk52k-logger
    grep -E ' \./etc/default/tk52k-logger$' <<<"$listing" | grep -q '^-rw-------' ||
        fail "/etc/default/tk52k-logger holds the database password and must be readable by root only"
    dpkg-deb -I "$deb" conffiles | grep -qxF /etc/default/tk52k-logger ||
        fail "/etc/default/tk52k-logger is not a conffile (an upgrade would overwrite the user's settings)"
fi
grep -E '/(tst_|bench)|\.a$|/include/' <<<"$files" && fail "test programs, benchmarks or build files in the package"

# The desktop entry names a program and an icon that the package holds.
dpkg-deb -x "$deb" "$scratch/root"
desktop=$scratch/root/usr/share/applications/tk52k.desktop
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
icon_name=$(sed -n 's/^Icon=//p' "$desktop")
[ -x "$scratch/root/usr/bin/$exec_name" ] || fail "the desktop entry starts \"$exec_name\", which is not in /usr/bin"
[ -f "$scratch/root/usr/share/icons/hicolor/scalable/apps/$icon_name.svg" ] || fail "no icon \"$icon_name\""

# The stripped programs still start.
"$scratch/root/usr/bin/tk52k-decode" --help >/dev/null 2>&1 || fail "the packaged tk52k-decode does not run"
QT_QPA_PLATFORM=offscreen "$scratch/root/usr/bin/tk52k" --version >/dev/null 2>&1 || fail "the packaged tk52k does not run"

# Depends: the run-time packages named, and every entry (names, versions,
# alternatives) met by the packages installed where the project builds.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for needed in libqt5sql5-psql qttranslations5-l10n libqt5widgets5 libqt5serialport5 libqwt-qt5-6; do
    grep -qE "(^|[ ,|])$needed([ ,(]|$)" <<<"$depends" || fail "Depends lacks $needed"
done
printf 'Source: tk52k\n' >"$scratch/control"
dpkg-checkbuilddeps -d "$depends" "$scratch/control" || fail "Depends is not met by the packages known here"

[ "$failures" -eq 0 ] && echo "package ok: $(basename "$deb")"
exit $((failures > 0))
