#!/usr/bin/env bash
# Configures (once) and builds everything into the build folder.
set -euo pipefail
. "$(dirname "$0")/common.sh"

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
if [ ! -f "$TK52K_BUILD/CMakeCache.txt" ]; then
    cmake -S "$TK52K_ROOT" -B "$TK52K_BUILD" "${launcher[@]}" "$@" >/dev/null
fi
cmake --build "$TK52K_BUILD" -j"$(nproc)" -- --no-print-directory 2>&1 | grep -vE '^\[ *[0-9]+%\]|^(Automatic|AutoMoc|AutoUic|AutoRcc)' || true
# grep swallowed the exit status; ask the build whether it is complete.
cmake --build "$TK52K_BUILD" -j"$(nproc)" >/dev/null
