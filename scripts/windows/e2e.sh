#!/usr/bin/env bash
# The setup program end to end under Wine: installs it silently, starts the
# installed tk52k.exe on COM5, which Wine maps to a pseudo-terminal fed by
# the virtual meter, lets it log for 20 s under Xvfb with the windows
# platform, checks that every reading sent was stored once, keeps a
# screenshot, and uninstalls it again.
#   e2e.sh BUILD     (BUILD: build-windows/ with its setup program and Wine prefix)
set -euo pipefail
out=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
sim=${TK52K_SIM:-$root/build/bin/tk52k-sim}
export WINEPREFIX=$out/wine WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
say() { printf '==> %s\n' "$*" >&2; }
fail() { say "FAILED: $*"; exit 1; }

[ -x "$sim" ] || fail "the virtual meter is not built ($sim; scripts/build.sh tk52k-sim)"
setup=$(ls "$out"/tk52k-setup-*-x64.exe | head -n1)
work=$(mktemp -d)
db=tk52k_windows_e2e_$$
pids=()
cleanup() {
    # Wine first: its server does not take a pseudo-terminal's end going
    # away while it holds it.
    wineserver -k 2>/dev/null || true
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    PGPASSWORD=k482915 psql -qh 127.0.0.1 -U postgres -d postgres -c "DROP DATABASE IF EXISTS $db" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

say "installing $(basename "$setup") /S"
wine "$setup" /S
wineserver -w
installed="$WINEPREFIX/drive_c/Program Files/TK52K"
[ -f "$installed/tk52k.exe" ] && [ -f "$installed/help.chm" ] &&
    [ -f "$installed/platforms/qwindows.dll" ] && [ -f "$installed/sqldrivers/qsqlpsql.dll" ] ||
    fail "the setup program did not install into $installed"

# Two linked pseudo-terminals: the program's end is COM5, the meter writes
# to the other once the program has the port open.
socat pty,raw,echo=0,link="$work/com5" pty,raw,echo=0,link="$work/meter" &
pids+=($!)
for _ in $(seq 50); do [ -e "$work/meter" ] && break; sleep 0.1; done
wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /d "$(readlink -f "$work/com5")" /f >/dev/null
wineserver -k || true   # the port map is read when Wine starts

Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$work/display")
say "starting the installed tk52k.exe --port COM5 --start --resume"
TK52K_DB_NAME=$db wine "$installed/tk52k.exe" --port COM5 --start --resume -platform windows \
    >"$work/tk52k.log" 2>&1 &
pids+=($!)
# The run waits for its meter (--resume) until Wine has started the program.
sleep 15
say "the meter sends 200 frames at 10 a second"
"$sim" --device "$work/meter" --range 5 --rate 10 --count 200 >/dev/null
sleep 2
import -window root "$out/e2e-screenshot.png"
sleep 3
rows=$(PGPASSWORD=k482915 psql -qAt -h 127.0.0.1 -U postgres -d "$db" \
    -c "SELECT count(*) || ' ' || count(DISTINCT create_time) FROM invoice")
wine taskkill /im tk52k.exe >/dev/null 2>&1 || true
sleep 3
say "stored: $rows (rows, distinct times); the meter sent 200 frames, the first of a range is not kept"
[ "$rows" = "199 199" ] || { cat "$work/tk52k.log" >&2; fail "expected 199 readings stored once each"; }

# The logger from a console: the same port, Ctrl+C (SIGINT becomes the
# console's Ctrl+C under Wine) ends it cleanly with every reading written.
say "the installed tk52k-logger.exe on COM5, ended by Ctrl+C"
TK52K_DB_NAME=${db}_logger wine "$installed/tk52k-logger.exe" --port COM5 --quiet >"$work/logger.log" 2>&1 &
logger=$!
sleep 8
"$sim" --device "$work/meter" --range 5 --rate 10 --count 50 >/dev/null
sleep 3
kill -INT $logger
status=0
wait $logger || status=$?
rows=$(PGPASSWORD=k482915 psql -qAt -h 127.0.0.1 -U postgres -d "${db}_logger" \
    -c "SELECT count(*) || ' ' || count(DISTINCT create_time) FROM invoice")
PGPASSWORD=k482915 psql -qh 127.0.0.1 -U postgres -d postgres -c "DROP DATABASE IF EXISTS ${db}_logger" >/dev/null
say "logger: exit $status, stored $rows"
[ $status -eq 0 ] && [ "$rows" = "49 49" ] || { cat "$work/logger.log" >&2; fail "the logger did not store 49 readings and end cleanly"; }

say "uninstalling"
wine "$installed/uninstall.exe" /S
wineserver -w
sleep 2
[ ! -e "$installed" ] || fail "the uninstaller left $(find "$installed" | head -5)"
say "end to end: passed; screenshot $out/e2e-screenshot.png"
