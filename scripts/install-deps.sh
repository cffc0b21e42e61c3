#!/usr/bin/env bash
# Installs what Lumetta needs to build, run and test on Debian 12 or later.
# Idempotent: only missing packages are fetched.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config git
    libgtk-4-dev libwebkitgtk-6.0-dev libsoup-3.0-dev libglib2.0-dev
    nlohmann-json3-dev libasound2-dev libssl-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    xvfb xauth x11-utils imagemagick dbus dbus-x11 unzip python3-dbusmock libx11-dev
)
# Extra package lists dropped in by modules (one name per line).
for extra in "$(dirname "$0")"/packages.d/*.txt; do
    [ -f "$extra" ] || continue
    while read -r name; do
        [ -n "$name" ] && [ "${name#\#}" = "$name" ] && packages+=("$name")
    done <"$extra"
done

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
