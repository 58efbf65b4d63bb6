#!/usr/bin/env bash
# Installs the Debian packages in packages.txt that are missing. Quick when all
# are there: it asks dpkg first and only then apt.
set -euo pipefail
. "$(dirname "$0")/common.sh"

mapfile -t wanted < <(grep -vE '^\s*(#|$)' "$TK52K_ROOT/scripts/packages.txt")
missing=()
for p in "${wanted[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

say "installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
as_root apt-get update -qq
as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
