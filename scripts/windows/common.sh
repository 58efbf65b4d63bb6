# Sourced by the recipes: how a piece of the Windows toolchain is fetched
# from Debian's source packages and built. A recipe is run as
#   <recipe>.sh PREFIX WORK [PREFIX OF EACH PIECE IT NEEDS...]
# and builds into PREFIX; WORK is its own scratch folder.
set -euo pipefail

host=x86_64-w64-mingw32
jobs=${TK52K_WINDOWS_JOBS:-$(nproc)}

say() { printf '==> %s\n' "$*" >&2; }

# The toolchain is built beside other work: at the lowest priority but one.
mk() { nice -n 15 make -j"$jobs" "$@"; }

# Unpacks Debian's source package $1 into WORK and prints its folder. With
# --skip-patches only the upstream source (a recipe applies what it needs).
unpack() {
    local pkg=$1 skip=${2:-} dir dsc
    dir=$(find "$work" -maxdepth 1 -type d -name "$pkg-*" | head -n1)
    if [ -n "$dir" ]; then
        printf '%s\n' "$dir"
        return
    fi
    (cd "$work" && apt-get source -q --download-only "$pkg" >/dev/null 2>&1) ||
        { echo "apt-get source $pkg failed (are deb-src lines configured?)" >&2; exit 1; }
    dsc=$(find "$work" -maxdepth 1 -name "${pkg}_*.dsc" | head -n1)
    (cd "$work" && dpkg-source -q -x $skip "$dsc" "$pkg-src" >/dev/null 2>&1)
    printf '%s\n' "$work/$pkg-src"
}
