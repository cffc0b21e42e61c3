#!/usr/bin/env bash
# The desktop entry and the AppStream metainfo pass their validators, and the entry claims the
# lumetta: URL scheme and WAV files.
set -euo pipefail
dir="$1"
desktop="$dir/com.velmar.lumetta.desktop"
desktop-file-validate "$desktop"
appstreamcli validate --no-net --pedantic "$dir/com.velmar.lumetta.metainfo.xml"
grep -q '^MimeType=.*x-scheme-handler/lumetta;' "$desktop" || { echo "no lumetta: scheme"; exit 1; }
grep -q '^MimeType=.*audio/x-wav;' "$desktop" || { echo "no WAV type"; exit 1; }
grep -q '^Exec=lumetta %U$' "$desktop" || { echo "Exec must pass URLs and files"; exit 1; }
for page in "$dir"/man/*.1; do
    out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$out" ] || { echo "$page: $out"; exit 1; }
done
echo "desktop entry, metainfo and man pages are valid"
