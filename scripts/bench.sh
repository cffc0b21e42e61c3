#!/usr/bin/env bash
# Runs every benchmark that was built. Call inside scripts/with-display.sh (make bench).
set -uo pipefail
build="${1:-build}"
for bench in "$build"/bench/*_bench "$build"/*_bench "$build"/lumetta-ir-bench; do
    [ -x "$bench" ] || continue
    echo "== $(basename "$bench")"
    "$bench"
done
