#!/usr/bin/env bash
# Installs what Lumetta needs to build, run and test on Debian 12 or later.
# Idempotent: only missing packages are fetched. Prints one line per package set it installed;
# the package manager's own output is shown only when it fails.
set -euo pipefail
here="$(dirname "$0")"
root="$(cd "$here/.." && pwd)"
log="$(mktemp)"
trap 'rm -f "$log"' EXIT

# Package sets: the core one here, and one per module list in packages.d (one name per line).
declare -A sets
names=(core)
sets[core]="build-essential cmake ninja-build pkg-config git ccache
    libgtk-4-dev libwebkitgtk-6.0-dev libsoup-3.0-dev libglib2.0-dev
    nlohmann-json3-dev libasound2-dev libssl-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    xvfb xauth x11-utils imagemagick dbus dbus-x11 unzip python3 python3-dbusmock libx11-dev"
for extra in "$here"/packages.d/*.txt; do
    [ -f "$extra" ] || continue
    name="$(basename "$extra" .txt)"
    names+=("$name")
    sets[$name]="$(grep -v '^[[:space:]]*#' "$extra" | tr '\n' ' ')"
done

# The page scripts' formatter (package.json, pinned by package-lock.json) into node_modules.
page_tools() {
    local stamp="$root/node_modules/.package-lock.json"
    [ -f "$stamp" ] && [ "$stamp" -nt "$root/package-lock.json" ] && return 0
    if ! (cd "$root" && npm ci --no-audit --no-fund --loglevel=error) >"$log" 2>&1; then
        cat "$log" >&2
        echo "install-deps: could not install the page tools (npm ci)" >&2
        exit 1
    fi
    echo "installed page tools: $(cd "$root" && node -p \
        "Object.entries(require('./package.json').devDependencies).join(' ').replace(/,/g, '@')")"
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

declare -A missing_in
missing=()
for name in "${names[@]}"; do
    for p in ${sets[$name]}; do
        installed "$p" && continue
        missing_in[$name]+="${missing_in[$name]:+ }$p"
        missing+=("$p")
    done
done
# npm comes with nodesource's nodejs; Debian ships it as a package of its own.
if ! command -v npm >/dev/null; then
    names+=(npm)
    missing_in[npm]=npm
    missing+=(npm)
fi
[ ${#missing[@]} -eq 0 ] && { page_tools; exit 0; }

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
if ! { $sudo apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "install-deps: could not install: ${missing[*]}" >&2
    exit 1
fi
for name in "${names[@]}"; do
    [ -n "${missing_in[$name]:-}" ] && echo "installed $name: ${missing_in[$name]}"
done
page_tools
exit 0
