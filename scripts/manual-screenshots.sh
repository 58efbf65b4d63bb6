#!/usr/bin/env bash
# Takes the user manual's screenshots from the real program under a virtual
# X server: the main window receiving readings from the virtual meter, then
# the panel, the dialogs and a history window of those readings. The readings
# go to a database of their own. Needs a build and a running PostgreSQL
# (./test or ./run sets both up). Writes docs/manual/images/*.png from the
# Chinese interface and docs/manual-en/images/*.png from the English one;
# look at every picture before committing it.
set -euo pipefail
. "$(dirname "$0")/common.sh"

bin=$TK52K_BUILD/bin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/runtime"
chmod 700 "$work/runtime"
export XDG_RUNTIME_DIR=$work/runtime
export TK52K_DB_NAME=${TK52K_DB_NAME:-tk52k_manual_shots}
# Keep the user's remembered port and spool out of this.
export HOME=$work/home
mkdir -p "$HOME"

cat >"$work/session.sh" <<'SESSION'
#!/usr/bin/env bash
set -euo pipefail
bin=$1 work=$2 lang=$3
from=$(date '+%Y-%m-%d %H:%M:%S')
app_args=()
if [ -x "$bin/tk52k-sim" ]; then
    "$bin/tk52k-sim" --rate 3 --dwell 1000000 --range 2 --seed 7 >"$work/sim.out" &
    sim=$!
    for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
    app_args=(--port "$(head -n1 "$work/sim.out")" --start)
fi
"$bin/tk52k" --lang "$lang" "${app_args[@]}" &
app=$!
sleep 15
import -window root "$work/screen.png"
kill "$app"; wait "$app" || true
[ -n "${sim:-}" ] && { kill "$sim"; wait "$sim" || true; }
to=$(date '+%Y-%m-%d %H:%M:%S')
"$bin/tk52k-manual-shots" --lang "$lang" --history-from "$from" --history-to "$to" "$work/shots" || true
SESSION
chmod +x "$work/session.sh"

# The program opens at four fifths of the 1920x1080 screen, centred; there is
# no window manager, hence no frame. Pictures are reduced to a palette to keep
# the manual small.
shrink() { convert "$1" "${@:3}" -strip -colors 96 "PNG8:$2"; }
for lang in zh en; do
    out=$TK52K_ROOT/docs/manual/images
    [ "$lang" = en ] && out=$TK52K_ROOT/docs/manual-en/images
    mkdir -p "$out"
    rm -rf "$work/shots" "$work/screen.png"
    xvfb-run -a -s "-screen 0 1920x1080x24" "$work/session.sh" "$bin" "$work" "$lang"
    shrink "$work/screen.png" "$out/mainwindow.png" -crop 1536x864+192+108 +repage -resize 960x
    for f in "$work"/shots/*.png; do
        name=$(basename "$f")
        case $name in
            hisview.png | helpwindow.png) shrink "$f" "$out/$name" -resize 800x ;;
            *) shrink "$f" "$out/$name" ;;
        esac
    done
    ls -l "$out"
done
