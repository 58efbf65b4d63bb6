#!/usr/bin/env bash
# Brings translations/tk52k_en.ts up to date with the texts in src/: new texts
# are added untranslated, texts no longer used are dropped, translations of
# texts that stay are kept. Fill in the new English (Qt Linguist, or by hand:
# every <translation type="unfinished"> wants its text) and commit the .ts;
# tst_language fails while any text lacks its English.
set -euo pipefail
. "$(dirname "$0")/common.sh"

cd "$TK52K_ROOT"
lupdate -no-obsolete -locations none -source-language zh_CN -target-language en \
    src -ts translations/tk52k_en.ts
