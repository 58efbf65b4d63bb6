#!/usr/bin/env bash
# Installs the Debian packages in packages.txt that are missing. Quick when all
# are there: one question to dpkg, and apt only for what is missing.
set -euo pipefail
. "$(dirname "$0")/common.sh"

mapfile -t wanted < <(grep -vE '^\s*(#|$)' "$TK52K_ROOT/scripts/packages.txt")
declare -A installed=()
while read -r name status; do
    [ "$status" = "install ok installed" ] && installed[$name]=1
done < <(dpkg-query -W -f='${Package} ${Status}\n' "${wanted[@]}" 2>/dev/null || true)
missing=()
for p in "${wanted[@]}"; do
    [ -n "${installed[$p]:-}" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

say "installing ${missing[*]}"
as_root apt-get update -qq
as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
