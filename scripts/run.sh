#!/usr/bin/env bash
# Starts Lumetta on its bundled page. Without a display, runs it on a private one for a few
# seconds and saves a screenshot of the window instead.
set -euo pipefail
build="${1:-build}"
shift || true
app="$build/lumetta"
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    exec "$app" "$@"
fi
echo "No display found: running Lumetta on a private display for a few seconds."
shot="$build/screenshot.png"
scripts/with-display.sh bash -c '
    "$1" "${@:3}" &
    pid=$!
    sleep 6
    import -window root "$2"
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
' run "$app" "$shot" "$@"
echo "Saved a screenshot of the window to $shot"
