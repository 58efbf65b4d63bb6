# Shared by ./run, ./test and the scripts they call. Sourced, not run.
TK52K_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
TK52K_BUILD=${TK52K_BUILD:-$TK52K_ROOT/build}

# Root runs commands as they are; anyone else goes through sudo.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

say() { printf '==> %s\n' "$*" >&2; }
