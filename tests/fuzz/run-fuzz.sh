#!/usr/bin/env bash
# Runs one libFuzzer target for a fixed time: first over every committed input (seed corpus and
# inputs that once failed), then fuzzing from them into a scratch folder. Prints the executions
# and coverage libFuzzer reports; fails on any crash, leak, sanitizer report or time-out.
#   run-fuzz.sh TARGET SCRATCH SECONDS CORPUS [REGRESSIONS]
set -uo pipefail
target="$1" scratch="$2" seconds="$3" corpus="$4" regressions="${5:-}"
rm -rf "$scratch" && mkdir -p "$scratch/new" "$scratch/artifacts"
inputs=("$corpus")
if [ -n "$regressions" ] && [ -d "$regressions" ]; then inputs+=("$regressions"); fi
log="$scratch/log.txt"
# The first folder receives new inputs; the committed folders are only read.
"$target" "$scratch/new" "${inputs[@]}" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$scratch/artifacts/" </dev/null >"$log" 2>&1
rc=$?
name="$(basename "$target")"
runs="$(grep -E '^stat::number_of_executed_units:' "$log" | awk '{print $2}')"
cov="$(grep -oE 'cov: [0-9]+' "$log" | tail -1 | awk '{print $2}')"
echo "$name: executions ${runs:-?}, cov ${cov:-?}, exit $rc" | tee "$scratch/summary.txt"
if [ "$rc" -ne 0 ]; then
    tail -60 "$log"
    ls "$scratch/artifacts"
fi
exit "$rc"
