#!/usr/bin/env bash
# Configures (once) and builds into the build folder, a line per step.
# Without arguments everything is built (program, tools, tests, benchmarks);
# arguments name the targets to build instead, e.g. `scripts/build.sh programs`.
set -euo pipefail
. "$(dirname "$0")/common.sh"

if [ ! -f "$TK52K_BUILD/CMakeCache.txt" ]; then
    launcher=()
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    say "configuring $TK52K_BUILD"
    cmake -S "$TK52K_ROOT" -B "$TK52K_BUILD" "${launcher[@]}" >/dev/null
fi

targets=()
for t in "$@"; do targets+=(--target "$t"); done
say "building ${*:-everything}"
# The compiler's progress lines go through as they come; the code generators'
# chatter does not. The build's own status is the one that counts.
set +o pipefail
cmake --build "$TK52K_BUILD" -j"$(nproc)" "${targets[@]}" -- --no-print-directory 2>&1 |
    grep --line-buffered -vE '^(Automatic (MOC|UIC|RCC)|AutoMoc|AutoUic|AutoRcc)'
status=${PIPESTATUS[0]}
set -o pipefail
exit "$status"
