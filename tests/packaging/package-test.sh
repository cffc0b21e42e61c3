#!/usr/bin/env bash
# Builds the .deb from the build tree, unpacks it into a temporary root with dpkg-deb -x and
# starts the unpacked program there on its bundled page: the window must show the unpacked
# copy of the page (marked here), not the source tree's. Needs a display; without one it runs
# itself inside scripts/with-display.sh.
set -euo pipefail
build="$(cd "$1" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
if [ -z "${DISPLAY:-}" ]; then
    exec "$here/../../scripts/with-display.sh" "$0" "$@"
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/lumetta-package.XXXXXX")"
app_pid=""
cleanup() {
    if [ -n "$app_pid" ]; then kill "$app_pid" 2>/dev/null || true; wait "$app_pid" 2>/dev/null || true; fi
    # The web engine's helper processes leave a moment after the program.
    for _ in 1 2 3 4 5; do rm -rf "$work" 2>/dev/null && break; sleep 0.5; done
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1 \
    || { cat "$work/cpack.log"; fail "cpack failed"; }
deb="$(ls "$work"/pkg/lumetta_*.deb)"
[ -f "$deb" ] || fail "no .deb made"
depends="$(dpkg-deb -f "$deb" Depends)"
echo "$depends" | grep -q 'libwebkitgtk-6.0' || fail "Depends lacks WebKitGTK: $depends"

root="$work/root"
dpkg-deb -x "$deb" "$root"
for f in usr/bin/lumetta usr/bin/lumetta-irconv usr/bin/lumetta-wavstat usr/bin/lumetta-devsim \
    usr/share/lumetta/html/index.html usr/share/lumetta/html/lumetta.js \
    usr/share/lumetta/html/lumetta.d.ts usr/share/lumetta/html/reference.html \
    usr/share/applications/com.velmar.lumetta.desktop \
    usr/share/icons/hicolor/scalable/apps/com.velmar.lumetta.svg \
    usr/share/metainfo/com.velmar.lumetta.metainfo.xml \
    usr/share/man/man1/lumetta.1 usr/share/man/man1/lumetta-irconv.1 usr/share/man/man1/lumetta-wavstat.1 \
    usr/share/man/man1/lumetta-devsim.1; do
    [ -e "$root/$f" ] || fail "the package lacks /$f"
done
find "$root/usr" -path '*/lumetta/web-process-extensions/*.so' | grep -q . \
    || fail "the package lacks the web-process extension"
desktop-file-validate "$root/usr/share/applications/com.velmar.lumetta.desktop"
appstreamcli validate --no-net "$root/usr/share/metainfo/com.velmar.lumetta.metainfo.xml" >/dev/null

"$root/usr/bin/lumetta" --list-functions >"$work/functions.json"
python3 - "$work/functions.json" <<'PY' || fail "--list-functions of the installed program"
import json, sys
table = json.load(open(sys.argv[1]))
names = {f["name"] for f in table["functions"]}
assert "$$fs_stat" in names and "$$app_functions" in names, names
assert any(e["module"] == "midi" and e["name"] == "message" for e in table["events"])
PY

# Mark the unpacked page so the window title tells which copy the program found.
marker="Lumetta package test $$"
sed -i "s|<title>[^<]*</title>|<title>$marker</title>|" "$root/usr/share/lumetta/html/index.html"
grep -q "$marker" "$root/usr/share/lumetta/html/index.html" || fail "cannot mark the page"

home="$work/home"
mkdir -p "$home/.config" "$home/.local/share" "$home/.cache" "$home/run"
chmod 700 "$home/run"
env HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" \
    XDG_CACHE_HOME="$home/.cache" XDG_RUNTIME_DIR="$home/run" \
    "$root/usr/bin/lumetta" --virtual-midi >"$work/app.log" 2>&1 &
app_pid=$!

# A hang guard far above the seconds it takes.
for _ in $(seq 1 240); do
    if xwininfo -root -tree 2>/dev/null | grep -qF "\"$marker\""; then
        echo "the unpacked program shows its bundled page"
        exit 0
    fi
    kill -0 "$app_pid" 2>/dev/null || { cat "$work/app.log"; fail "the program ended early"; }
    sleep 0.5
done
cat "$work/app.log"
fail "no window shows the unpacked page"
