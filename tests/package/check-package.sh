#!/usr/bin/env bash
# check-package.sh BUILD_DIR logger|no-logger
# Builds the two .debs with CPack and checks them with the field's tools:
#   - the split: tk52k-logger holds the logger, exporter, decoder, virtual
#     meter and the service; tk52k the desktop program, its printer
#     (tk52k-print), its manual, entry and icon; every program has its manual page in its package; no test
#     programs or build files anywhere;
#   - Depends: the logger's names only what it links (no Gui, Widgets, Qwt
#     or fonts), the desktop's names the logger of the same version, and every
#     entry is met by the packages installed here;
#   - lintian on both, no errors or warnings (overrides carry their reasons);
#   - the programs run from the unpacked tree, answer --version and exit 2
#     on an unknown option;
#   - the unit: systemd-analyze verify, and security at most 2.0.
# tests/package/clean-install.sh installs the logger on a minimal Debian.
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
desktop_deb=$(ls "$scratch"/tk52k_*.deb 2>/dev/null)
logger_deb=$(ls "$scratch"/tk52k-logger_*.deb 2>/dev/null)
[ -f "$desktop_deb" ] || { echo "FAIL: no tk52k package: $(ls "$scratch")"; exit 1; }
version=$(dpkg-deb -f "$desktop_deb" Version)

files_of() { dpkg-deb -c "$1" | awk '{ print $6 }' | sed 's|^\./|/|'; }
# has PACKAGE_FILES FILE...: each FILE is in the package.
has() {
    local files=$1
    shift
    for f in "$@"; do grep -qxF "$f" <<<"$files" || fail "$f is not in its package"; done
}
desktop_files=$(files_of "$desktop_deb")
has "$desktop_files" /usr/bin/tk52k /usr/share/man/man1/tk52k.1.gz /usr/share/tk52k/help.chm /usr/share/tk52k/help-en.chm \
    /usr/bin/tk52k-print /usr/share/man/man1/tk52k-print.1.gz \
    /usr/share/applications/tk52k.desktop /usr/share/icons/hicolor/scalable/apps/tk52k.svg \
    /usr/share/doc/tk52k/copyright
all_files=$desktop_files
if [ "$logger" = logger ]; then
    [ -f "$logger_deb" ] || { echo "FAIL: no tk52k-logger package"; exit 1; }
    logger_files=$(files_of "$logger_deb")
    all_files+=$'\n'$logger_files
    for p in tk52k-logger tk52k-export tk52k-decode tk52k-sim; do
        has "$logger_files" "/usr/bin/$p" "/usr/share/man/man1/$p.1.gz"
    done
    has "$logger_files" /usr/lib/systemd/system/tk52k-logger@.service /etc/default/tk52k-logger \
        /usr/share/doc/tk52k-logger/copyright
    dpkg-deb -c "$logger_deb" | grep -E ' \./etc/default/tk52k-logger$' | grep -q '^-rw-------' ||
        fail "/etc/default/tk52k-logger holds the database password and must be readable by root only"
    dpkg-deb -I "$logger_deb" conffiles | grep -qxF /etc/default/tk52k-logger ||
        fail "/etc/default/tk52k-logger is not a conffile (an upgrade would overwrite the user's settings)"
    # The password reaches each logger as a credential, never in the
    # environment that every process of its user may read.
    dpkg-deb -c "$logger_deb" | grep -E ' \./etc/tk52k-logger/db-password$' | grep -q '^-rw-------' ||
        fail "/etc/tk52k-logger/db-password is missing or readable by others than root"
    dpkg-deb -I "$logger_deb" conffiles | grep -qxF /etc/tk52k-logger/db-password ||
        fail "/etc/tk52k-logger/db-password is not a conffile"
    grep -x '/usr/bin/.\+' <<<"$desktop_files" | grep -vxE '/usr/bin/tk52k(-print)?' &&
        fail "the desktop package holds programs of the logger's"
fi
grep -E '/(tst_|bench)|\.a$|/include/' <<<"$all_files" && fail "test programs, benchmarks or build files in a package"

# The desktop entry names a program and an icon that the package holds.
dpkg-deb -x "$desktop_deb" "$scratch/root"
[ -f "$logger_deb" ] && dpkg-deb -x "$logger_deb" "$scratch/root"
# Every manual page has its text as the program writes it, Chinese included,
# not a "?" for each character that the C locale cannot hold.
for page in "$scratch"/root/usr/share/man/man1/*.1.gz; do
    zgrep -q '??' "$page" && fail "$(basename "$page") has \"??\" for text: $(zgrep -m1 '??' "$page")"
done
desktop=$scratch/root/usr/share/applications/tk52k.desktop
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
icon_name=$(sed -n 's/^Icon=//p' "$desktop")
[ -x "$scratch/root/usr/bin/$exec_name" ] || fail "the desktop entry starts \"$exec_name\", which is not in /usr/bin"
[ -f "$scratch/root/usr/share/icons/hicolor/scalable/apps/$icon_name.svg" ] || fail "no icon \"$icon_name\""

# The stripped programs start, name themselves and their version, and call
# an unknown option a usage error.
for program in "$scratch"/root/usr/bin/*; do
    name=$(basename "$program")
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" --version 2>/dev/null)
    [ "$out" = "$name ${version%%-*}" ] || fail "$name --version says \"$out\""
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" --no-such-option >/dev/null 2>&1
    status=$?
    [ "$status" -eq 2 ] || fail "$name exits with $status on an unknown option, not 2"
done

# Depends: what each package must and must not name, and every entry (names,
# versions, alternatives) met by the packages installed where it is built.
depends_ok() {
    printf 'Source: tk52k\n' >"$scratch/control"
    dpkg-checkbuilddeps -d "$1" "$scratch/control" || fail "Depends of $2 is not met by the packages known here"
}
names() { tr ',|' '\n\n' <<<"$1" | sed 's/(.*//; s/ //g'; }
desktop_depends=$(dpkg-deb -f "$desktop_deb" Depends)
echo "tk52k Depends: $desktop_depends"
for needed in "tk52k-logger (= $version)" qttranslations5-l10n libqt5widgets5 libqwt-qt5-6; do
    grep -qF "$needed" <<<"$desktop_depends" || fail "tk52k's Depends lacks $needed"
done
# The logger package is the one just built, not one installed here.
depends_ok "$(sed 's/tk52k-logger ([^)]*), //' <<<"$desktop_depends")" tk52k
if [ -f "$logger_deb" ]; then
    logger_depends=$(dpkg-deb -f "$logger_deb" Depends)
    echo "tk52k-logger Depends: $logger_depends"
    for needed in libqt5sql5-psql libqt5serialport5 libqt5core5a; do
        names "$logger_depends" | grep -qx "$needed" || fail "tk52k-logger's Depends lacks $needed"
    done
    # A computer without a screen gets no window system, no plot library, no fonts.
    heavy=$(names "$logger_depends" | grep -E 'gui|widgets|printsupport|qwt|^fonts-|opengl|^libx11')
    [ -z "$heavy" ] && depends_ok "$logger_depends" tk52k-logger ||
        fail "tk52k-logger depends on what a computer without a screen does not need: $(echo $heavy)"
fi

# lintian, as Debian checks its own packages.
lintian --fail-on error,warning "$scratch"/*.deb >"$scratch/lintian.log" 2>&1
status=$?
grep -v 'root privileges' "$scratch/lintian.log"
[ "$status" -eq 0 ] || fail "lintian reports errors or warnings"

if [ "$logger" = logger ]; then
    # systemd-analyze checks the unit against the unpacked logger (the real
    # one finds it on systemd's search path, which this machine lacks).
    units=$scratch/units
    mkdir -p "$units"
    sed "s|^ExecStart=tk52k-logger |ExecStart=$scratch/root/usr/bin/tk52k-logger |" \
        "$scratch/root/usr/lib/systemd/system/tk52k-logger@.service" >"$units/tk52k-logger@.service"
    (cd "$units" && systemd-analyze verify --man=no tk52k-logger@ttyUSB0.service) ||
        fail "systemd-analyze verify finds fault with the unit"
    exposure=$(cd "$units" && systemd-analyze security --offline=true tk52k-logger@ttyUSB0.service 2>&1 |
        sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
    echo "unit exposure: ${exposure:-?}"
    awk -v e="${exposure:-99}" 'BEGIN { exit !(e <= 2.0) }' ||
        fail "systemd-analyze security rates the unit ${exposure:-?}, above 2.0"
    # The meters' serial devices stay reachable for the group dialout.
    unit=$units/tk52k-logger@.service
    for need in 'DeviceAllow=char-ttyUSB rw' 'DeviceAllow=char-ttyACM rw' 'SupplementaryGroups=dialout'; do
        grep -qxF "$need" "$unit" || fail "the unit lacks $need"
    done
    grep -qx 'PrivateDevices=yes' "$unit" && fail "PrivateDevices=yes hides the serial ports"
    for need in 'LoadCredential=db-password:/etc/tk52k-logger/db-password' 'User=tk52k-%i'; do
        grep -qxF "$need" "$unit" || fail "the unit lacks $need"
    done
    grep -q '^TK52K_DB_PASSWORD=' "$scratch/root/etc/default/tk52k-logger" &&
        fail "the loggers' shared settings put the database password into their environment"
fi

if [ "$logger" = logger ] && [ "$(id -u)" -eq 0 ]; then
    # The postinst as dpkg runs it for an upgrade, or for a reinstallation
    # after a removal (which stopped every logger), in a mount namespace of
    # its own under a service manager that notes what it is asked: each
    # enabled meter is restarted, running or not, as debhelper's snippet does
    # for a unit; one started by hand that runs is restarted too.
    dpkg-deb -e "$logger_deb" "$scratch/DEBIAN"
    stubs=$scratch/stubs
    mkdir -p "$stubs"
    printf '#!/bin/sh\necho "deb-systemd-invoke $*" >>"%s"\n' "$scratch/invoked" >"$stubs/deb-systemd-invoke"
    printf '#!/bin/sh\ncase "$*" in *list-units*) echo "tk52k-logger@ttyACM0.service loaded active running x" ;; esac\n' \
        >"$stubs/systemctl"
    chmod +x "$stubs"/*
    unshare -m sh -c '
        mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system &&
        mount -t tmpfs tmpfs /etc/systemd/system && mkdir /etc/systemd/system/multi-user.target.wants &&
        ln -s /usr/lib/systemd/system/tk52k-logger@.service \
            /etc/systemd/system/multi-user.target.wants/tk52k-logger@ttyUSB0.service &&
        PATH="$0:$PATH" sh "$1/postinst" configure 1.0.0' "$stubs" "$scratch/DEBIAN" ||
        fail "the postinst fails"
    grep -qxF 'deb-systemd-invoke restart tk52k-logger@ttyUSB0.service' "$scratch/invoked" ||
        fail "a reinstallation or an upgrade leaves the enabled meter ttyUSB0 stopped: $(cat "$scratch/invoked")"
    grep -qxF 'deb-systemd-invoke try-restart tk52k-logger@ttyACM0.service' "$scratch/invoked" ||
        fail "an upgrade does not restart the running meter ttyACM0"
fi

[ "$failures" -eq 0 ] && echo "packages ok: $(cd "$scratch" && ls ./*.deb | xargs -n1 basename | tr '\n' ' ')"
exit $((failures > 0))
