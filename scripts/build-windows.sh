#!/usr/bin/env bash
# Builds the program and its command-line tools for Windows x64 into
# build-windows/, runs the tests there under Wine and makes the setup
# program build-windows/tk52k-setup-<version>-x64.exe.
#
# What it links against (Qt, libpq, Qwt, zlib, chmlib) is built
# once from Debian's source packages with Debian's MinGW-w64 into a cache
# outside the tree, $TK52K_WINDOWS_CACHE (default /var/cache/tk52k-windows),
# each piece in a folder named by a hash of its recipe (scripts/windows/):
# a changed recipe builds that piece, and what depends on it, anew.
#
#   scripts/build-windows.sh [--no-tests] [--no-setup]
#
# TK52K_WINDOWS_JOBS sets the parallel jobs (default: the cores).
set -euo pipefail
. "$(dirname "$0")/common.sh"

run_tests=1
make_setup=1
for arg in "$@"; do
    case $arg in
    --no-tests) run_tests=0 ;;
    --no-setup) make_setup=0 ;;
    *) echo "usage: $0 [--no-tests] [--no-setup]" >&2; exit 2 ;;
    esac
done

recipes=$TK52K_ROOT/scripts/windows
cache=${TK52K_WINDOWS_CACHE:-/var/cache/tk52k-windows}
out=$TK52K_ROOT/build-windows
host=x86_64-w64-mingw32
jobs=${TK52K_WINDOWS_JOBS:-$(nproc)}

# --- what the build needs from this machine --------------------------------
"$TK52K_ROOT/scripts/install-packages.sh"
# apt-get source needs the archive's source lines.
if ! apt-get source --print-uris -q zlib >/dev/null 2>&1; then
    say "adding Debian's deb-src lines"
    as_root tee /etc/apt/sources.list.d/tk52k-deb-src.sources >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    as_root apt-get update -q >/dev/null
fi

# --- the toolchain -----------------------------------------------------------
# piece NAME [NEEDED PIECE...]: builds NAME once per recipe and sets
# prefix_NAME to its folder. The key covers the recipe, the shared recipe
# code and the keys of what it needs.
as_root mkdir -p "$cache"
declare -A key prefix_of
piece() {
    local name=$1
    shift
    local deps=() k dir
    k=$(cat "$recipes/common.sh" "$recipes/$name.sh" | sha256sum | cut -c1-12)
    for d in "$@"; do
        k=$(printf '%s %s' "$k" "${key[$d]}" | sha256sum | cut -c1-12)
        deps+=("${prefix_of[$d]}")
    done
    key[$name]=$k
    dir=$cache/$name-$k
    prefix_of[$name]=$dir
    if [ -f "$dir/.complete" ]; then
        return
    fi
    say "building $name for Windows into $dir (once)"
    local started=$SECONDS
    mkdir -p "$cache/work/$name"
    "$recipes/$name.sh" "$dir" "$cache/work/$name" "${deps[@]}"
    touch "$dir/.complete"
    say "$name built in $((SECONDS - started)) s"
    # The earlier builds of this piece and its scratch folder go.
    find "$cache" -maxdepth 1 -name "$name-*" ! -name "$name-$k" -exec rm -rf {} +
    rm -rf "$cache/work/$name"
}
piece libpq
piece qt libpq
piece qwt qt
piece zlib
piece chmlib

qt=${prefix_of[qt]}
prefixes="$qt;${prefix_of[libpq]};${prefix_of[qwt]};${prefix_of[zlib]};${prefix_of[chmlib]}"

# --- the program -------------------------------------------------------------
# Configured again when the libraries' folders are not those it was
# configured with (a piece added or left out).
if [ ! -f "$out/CMakeCache.txt" ] ||
    ! grep -qxF "TK52K_WINDOWS_PREFIXES:UNINITIALIZED=$prefixes" "$out/CMakeCache.txt"; then
    say "configuring $out"
    launcher=()
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    TK52K_WINDOWS_PREFIXES=$prefixes PKG_CONFIG_LIBDIR="${prefix_of[libpq]}/lib/pkgconfig" \
        cmake -S "$TK52K_ROOT" -B "$out" "${launcher[@]}" \
        -DCMAKE_TOOLCHAIN_FILE="$recipes/mingw.cmake" \
        -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_PREFIX_PATH="$prefixes" \
        -DTK52K_WINDOWS_PREFIXES="$prefixes" \
        -DQt5LinguistTools_DIR=/usr/lib/x86_64-linux-gnu/cmake/Qt5LinguistTools >/dev/null
fi
say "building for Windows"
# Paths inside the tree reach ccache relative to it: a clone anywhere
# reuses what another clone compiled.
command -v ccache >/dev/null && export CCACHE_BASEDIR=$TK52K_ROOT
set +o pipefail
TK52K_WINDOWS_PREFIXES=$prefixes PKG_CONFIG_LIBDIR="${prefix_of[libpq]}/lib/pkgconfig" \
    nice -n 5 cmake --build "$out" -j"$jobs" -- --no-print-directory 2>&1 |
    grep --line-buffered -vE '^(Automatic (MOC|UIC|RCC)|AutoMoc|AutoUic|AutoRcc)'
status=${PIPESTATUS[0]}
set -o pipefail
[ "$status" -eq 0 ] || exit "$status"

# --- what the programs need beside them -----------------------------------------
# DLLs are looked for where the toolchain has them; what an executable
# imports from none of these folders is the system's.
dll_dirs=("$qt/bin" "${prefix_of[libpq]}/lib" "${prefix_of[libpq]}/bin" "${prefix_of[qwt]}/lib"
          "$(dirname "$($host-g++-posix -print-libgcc-file-name)")" "/usr/$host/lib")
find_dll() {
    local want=${1,,} d f
    for d in "${dll_dirs[@]}"; do
        for f in "$d"/*.dll "$d"/*.DLL; do
            [ -f "$f" ] || continue
            local base=${f##*/}
            [ "${base,,}" = "$want" ] && { printf '%s\n' "$f"; return; }
        done
    done
}
# deploy DIR: the Qt plugins and every DLL the executables, the plugins
# and those DLLs import, copied into DIR (names in lower case compared, as
# Windows does: Qt's PostgreSQL driver imports LIBPQ.dll).
deploy() {
    local dir=$1
    mkdir -p "$dir"/{platforms,sqldrivers,printsupport,styles,imageformats}
    cp "$qt/plugins/platforms/"{qwindows,qoffscreen,qminimal}.dll "$dir/platforms/"
    cp "$qt/plugins/sqldrivers/qsqlpsql.dll" "$dir/sqldrivers/"
    cp "$qt/plugins/printsupport/windowsprintersupport.dll" "$dir/printsupport/"
    cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$dir/styles/"
    cp "$qt/plugins/imageformats/"{qico,qgif}.dll "$dir/imageformats/"
    # Qt's own texts (buttons, standard dialogs) in Chinese: the catalogue
    # is the same file on every platform, Debian's fits this Qt.
    mkdir -p "$dir/translations"
    cp /usr/share/qt5/translations/qtbase_zh_CN.qm "$dir/translations/"
    local changed=1
    while [ $changed -eq 1 ]; do
        changed=0
        while read -r dll; do
            local have=0 f
            for f in "$dir"/*.dll; do
                [ -f "$f" ] && [ "$(basename "${f,,}")" = "${dll,,}" ] && have=1 && break
            done
            [ $have -eq 1 ] && continue
            f=$(find_dll "$dll")
            [ -n "$f" ] || continue
            cp "$f" "$dir/"
            changed=1
        done < <(find "$dir" -maxdepth 2 \( -name '*.exe' -o -name '*.dll' \) -print0 |
                     xargs -0 $host-objdump -p 2>/dev/null | sed -n 's/^\s*DLL Name: //p' | sort -u)
    done
}
deploy "$out/bin"
[ -d "$out/tests" ] && deploy "$out/tests"

# --- the tests under Wine --------------------------------------------------------
export WINEPREFIX=$out/wine WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    say "making the Wine prefix"
    wineboot -i >/dev/null 2>&1
    wineserver -w
fi
if [ $run_tests -eq 1 ] && [ -d "$out/tests" ]; then
    say "running the tests under Wine"
    run=$(mktemp -d)
    run_pids=()
    end_run() {
        # Wine's server first: it does not take a pseudo-terminal's end
        # going away while it holds it.
        wineserver -k 2>/dev/null || true
        local p
        for p in "${run_pids[@]}"; do kill "$p" 2>/dev/null || true; done
        rm -rf "$run"
    }
    trap end_run EXIT
    # COM7 and COM8 are a linked pair of pseudo-terminals for the serial
    # port's test; Wine reads its port map when it starts.
    socat pty,raw,echo=0,link="$run/a" pty,raw,echo=0,link="$run/b" &
    run_pids+=($!)
    for _ in $(seq 50); do [ -e "$run/b" ] && break; sleep 0.1; done
    wine reg add 'HKLM\Software\Wine\Ports' /v COM7 /d "$(readlink -f "$run/a")" /f >/dev/null
    wine reg add 'HKLM\Software\Wine\Ports' /v COM8 /d "$(readlink -f "$run/b")" /f >/dev/null
    wineserver -k || true
    # The tests that measure texts as a Windows desktop draws them run on
    # the windows platform (tests/CMakeLists.txt), on an X display of their own.
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$run/display" >/dev/null 2>&1 &
    run_pids+=($!)
    for _ in $(seq 50); do [ -s "$run/display" ] && break; sleep 0.1; done
    display=:$(cat "$run/display")
    # One Wine session for every test, its desktop process started here: one
    # started by a test would hold that test's output pipe, and ctest would
    # wait for it until the last test ended.
    wineserver -p
    DISPLAY=$display wine rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 || true
    # Qt's offscreen platform on Windows draws with the fonts of one folder:
    # the ones the Linux tests find through fontconfig.
    mkdir "$run/fonts"
    ln -s /usr/share/fonts/truetype/liberation2/LiberationSans-{Regular,Bold}.ttf \
        /usr/share/fonts/truetype/wqy/wqy-zenhei.ttc \
        /usr/share/fonts/opentype/noto/NotoSansCJK-{Regular,Bold}.ttc \
        /usr/share/fonts/opentype/noto/NotoSerifCJK-Regular.ttc "$run/fonts/"
    # Wine passes no QT_* variable on; WINEQT_* arrives without its WINE.
    set +e
    (cd "$out" && DISPLAY=$display WINEQT_QPA_PLATFORM=offscreen WINEQT_QPA_FONTDIR="$run/fonts" \
        TK52K_TEST_PORTS=COM7,COM8 ctest --output-on-failure -j"$jobs" --timeout 600)
    status=$?
    set -e
    end_run
    trap - EXIT
    if [ $status -ne 0 ]; then
        grep -l '^FAIL' "$out"/tests/tst_*.txt 2>/dev/null | xargs -r grep -h -A3 '^FAIL' >&2
        exit 1
    fi
fi

# --- the setup program -----------------------------------------------------------
if [ $make_setup -eq 1 ]; then
    "$recipes/make-setup.sh" "$out"
    # The setup program installed, the program logging a virtual meter on
    # COM5 under Xvfb, and the uninstaller.
    if [ $run_tests -eq 1 ]; then
        [ -x "$TK52K_BUILD/bin/tk52k-sim" ] || "$TK52K_ROOT/scripts/build.sh" tk52k-sim
        TK52K_SIM=$TK52K_BUILD/bin/tk52k-sim "$recipes/e2e.sh" "$out"
    fi
fi
