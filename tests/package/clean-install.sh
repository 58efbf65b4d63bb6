#!/usr/bin/env bash
# clean-install.sh BUILD_DIR [WORK_DIR]
#
# Installs the tk52k-logger package of BUILD_DIR on a minimal Debian 12
# (debootstrap --variant=minbase, from the mirror this machine's apt uses) as
# a new user would, and reports what they get:
#   - the packages and megabytes apt adds, without and with Recommends
#     (fails above 70 MB without them);
#   - that a meter whose settings were there before the package is enabled;
#   - a real run in the clean system: the virtual meter on a pseudo-terminal,
#     the logger writing into this machine's PostgreSQL (TK52K_DB_*);
#   - that a purge leaves nothing: no programs, settings, unit links or state.
# Takes some minutes (the first debootstrap more; the base system is kept in
# WORK_DIR, default /var/tmp/tk52k-minbase). Needs root. Not part of ./test.
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [WORK_DIR]" >&2; exit 2; }
build=$(realpath "$1")
work=${2:-/var/tmp/tk52k-minbase}
limit_mb=70
[ "$(id -u)" -eq 0 ] || { echo "$0: needs root (debootstrap, chroot)" >&2; exit 2; }

say() { printf '==> %s\n' "$*" >&2; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

mkdir -p "$work"
debs=$work/debs
rm -rf "$debs"
cpack -G DEB -B "$debs" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$debs"/tk52k-logger_*.deb)

base=$work/base
if [ ! -x "$base/usr/bin/apt-get" ]; then
    command -v debootstrap >/dev/null || { echo "$0: needs debootstrap (apt-get install debootstrap)" >&2; exit 2; }
    mirror=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources)
    say "debootstrap --variant=minbase bookworm from $mirror"
    rm -rf "$base"
    debootstrap --variant=minbase bookworm "$base" "$mirror" >"$work/debootstrap.log" 2>&1 ||
        { tail -20 "$work/debootstrap.log"; exit 1; }
    # The same suites as this machine: a user's system has the updates.
    rm -f "$base/etc/apt/sources.list"
    cp /etc/apt/sources.list.d/debian.sources "$base/etc/apt/sources.list.d/"
    cp /etc/resolv.conf "$base/etc/resolv.conf"
    chroot "$base" apt-get update -qq
fi

root=
mounted=()
cleanup() {
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
    mounted=()
    if [ -n "$root" ]; then rm -rf "$root"; fi
}
trap cleanup EXIT

# A fresh copy of the base system with what a program run needs mounted.
fresh_root() {
    cleanup
    root=$(mktemp -d "$work/root.XXXXXX")
    cp -a "$base/." "$root/"
    for m in proc dev dev/pts; do
        mount --bind "/$m" "$root/$m"
        mounted+=("$root/$m")
    done
    cp "$deb" "$root/tmp/"
}
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 "$@"; }
sizes() { in_root dpkg-query -W -f='${Package} ${Installed-Size}\n' | sort; }

# What installing the package adds: packages, their installed size in MB.
measure() {
    local label=$1
    shift
    local before after added kb
    before=$(sizes)
    in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" "/tmp/$(basename "$deb")" \
        >"$work/install.log" 2>&1 || { tail -20 "$work/install.log"; fail "apt-get install ($label)"; return 1; }
    after=$(sizes)
    added=$(comm -13 <(echo "$before") <(echo "$after"))
    kb=$(awk '{ s += $2 } END { print s + 0 }' <<<"$added")
    LAST_MB=$(awk -v kb="$kb" 'BEGIN { printf "%.1f", kb / 1024 }')
    echo "$label: $(wc -l <<<"$added") packages, $LAST_MB MB installed"
}

say "installed closure without Recommends"
fresh_root
# A meter provisioned before the package arrives: the installation enables it.
mkdir -p "$root/etc/default/tk52k-logger.d"
printf 'TK52K_SOURCE=provisioned\n' >"$root/etc/default/tk52k-logger.d/ttyUSB0"
measure "tk52k-logger --no-install-recommends" --no-install-recommends
awk -v mb="${LAST_MB:-999}" -v limit="$limit_mb" 'BEGIN { exit !(mb <= limit) }' || fail "the logger's closure is ${LAST_MB} MB, more than $limit_mb MB"
link=$root/etc/systemd/system/multi-user.target.wants/tk52k-logger@ttyUSB0.service
[ "$(readlink "$link" 2>/dev/null)" = /usr/lib/systemd/system/tk52k-logger@.service ] ||
    fail "the provisioned meter ttyUSB0 was not enabled"

say "a run in the clean system: virtual meter, logger, this machine's server"
for p in tk52k-logger tk52k-export tk52k-decode tk52k-sim; do
    in_root "$p" --version >/dev/null || fail "$p does not start"
done
# The host's server, its address and login as the tests use them.
dbenv=()
for v in TK52K_DB_HOST TK52K_DB_PORT TK52K_DB_USER TK52K_DB_PASSWORD; do
    [ -n "${!v:-}" ] && dbenv+=("$v=${!v}")
done
in_root sh -c '
    mkfifo /tmp/sim.out
    tk52k-sim --rate 17 --range 3 >/tmp/sim.out 2>/dev/null &
    sim=$!
    read -r device </tmp/sim.out
    env "$@" TK52K_DB_NAME=tk52k_clean_install TK52K_SPOOL_DIR=/tmp/spool \
        timeout --preserve-status -s TERM 10 tk52k-logger --port "$device" --quiet 2>/tmp/logger.err
    echo "exit $?" >>/tmp/logger.err
    kill "$sim"' sh "${dbenv[@]}" || true
cat "$root/tmp/logger.err"
grep -q '^exit 0$' "$root/tmp/logger.err" || fail "the logger did not end cleanly"
grep -Eq 'written [1-9][0-9]* \+ waiting 0' "$root/tmp/logger.err" || fail "the logger wrote no readings"

say "purge"
mkdir -p "$root/var/lib/private/tk52k-logger/ttyUSB0"
ln -sfn private/tk52k-logger "$root/var/lib/tk52k-logger"
ln -sf /usr/lib/systemd/system/tk52k-logger@.service "$root/etc/systemd/system/multi-user.target.wants/tk52k-logger@ttyACM0.service"
in_root env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq tk52k-logger >"$work/purge.log" 2>&1 ||
    { tail -20 "$work/purge.log"; fail "apt-get purge"; }
left=$(cd "$root" && ls -d etc/default/tk52k-logger* etc/tk52k-logger etc/systemd/system/*/tk52k-logger@* var/lib/tk52k-logger \
    var/lib/private/tk52k-logger usr/bin/tk52k* usr/share/doc/tk52k-logger 2>/dev/null || true)
[ -z "$left" ] || fail "the purge left: $left"

say "installed closure with Recommends"
fresh_root
measure "tk52k-logger with Recommends"

[ "$failures" -eq 0 ] && echo "clean install ok: $(basename "$deb")"
exit $((failures > 0))
