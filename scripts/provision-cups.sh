#!/usr/bin/env bash
# Starts the print server when it is not running and makes the PDF queue
# (cups-pdf) the default printer, so printing can be tested on paper that is
# a file: jobs land as PDF files in the folder named by the "Out" line of
# /etc/cups/cups-pdf.conf (${HOME}/PDF of the printing user by default).
# Safe to run again.
set -euo pipefail
. "$(dirname "$0")/common.sh"

queue=PDF
ppd=/usr/share/ppd/cups-pdf/CUPS-PDF_opt.ppd

if ! lpstat -r 2>/dev/null | grep -q 'is running'; then
    say "starting the print server"
    as_root cupsd </dev/null
    for _ in $(seq 1 60); do
        lpstat -r 2>/dev/null | grep -q 'is running' && break
        sleep 0.5
    done
    lpstat -r 2>/dev/null | grep -q 'is running' || { say "cupsd did not start"; exit 1; }
fi

if ! lpstat -p "$queue" >/dev/null 2>&1; then
    say "creating the printer $queue"
    as_root lpadmin -p "$queue" -E -v cups-pdf:/ -P "$ppd" 2>&1 | grep -v 'deprecated' >&2 || true
fi
# PDF pages reach cups-pdf as PostScript; poppler's cairo converter keeps
# the text of embedded CJK fonts readable (the others turn it into glyph
# pictures that text extraction cannot read back).
as_root lpadmin -p "$queue" -o pdftops-renderer-default=pdftocairo
as_root cupsenable "$queue"
as_root cupsaccept "$queue"
if [ "$(lpstat -d 2>/dev/null | sed -n 's/^system default destination: //p')" != "$queue" ]; then
    as_root lpadmin -d "$queue"
fi
