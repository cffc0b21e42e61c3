#!/usr/bin/env bash
# Runs every test: unit tests, the slow engine checks, the functional tests on a private
# display, the unit tests again under AddressSanitizer + UndefinedBehaviorSanitizer, and the
# concurrency tests under ThreadSanitizer.
set -uo pipefail
build="${1:-build}"
jobs="$(nproc)"
here="$(cd "$(dirname "$0")" && pwd)"
passed=0
failed=0
skipped=0
status=0
skip_notes="$(mktemp)"
trap 'rm -f "$skip_notes"' EXIT
# Our own builds: warnings are errors; ccache when it is installed.
ccache="$(command -v ccache || true)"
configure() {
    cmake -G Ninja -S . -B "$1" -DCMAKE_BUILD_TYPE=Debug -DLUMETTA_UNIT_ONLY=ON -DLUMETTA_WERROR=ON \
        -DCMAKE_CXX_COMPILER_LAUNCHER="$ccache" -DCMAKE_C_COMPILER_LAUNCHER="$ccache" "${@:2}" >/dev/null
}

# Runs one ctest invocation, inside `wrapper` when given, and adds its counts, read from ctest's
# JUnit report, to the totals; skipped cases are listed with their reasons.
run_ctest_with() {
    local wrapper="$1" junit
    shift
    junit="$(mktemp)"
    # The whole output of passing tests too: the report is where their skipped cases are found.
    $wrapper ctest --output-on-failure --output-junit "$junit" --test-output-size-passed 10000000 "$@"
    local rc=$?
    local counts
    if [ -s "$junit" ] && counts="$(python3 "$here/junit-counts.py" "$junit")"; then
        local p f s
        read -r p f s <<<"$(head -1 <<<"$counts")"
        passed=$((passed + p))
        failed=$((failed + f))
        skipped=$((skipped + s))
        tail -n +2 <<<"$counts" >>"$skip_notes"
    elif [ "$rc" -ne 0 ]; then
        failed=$((failed + 1))
    fi
    [ "$rc" -ne 0 ] && status=1
    rm -f "$junit"
}
run_ctest() { run_ctest_with "" "$@"; }

echo "== unit tests"
run_ctest --test-dir "$build" -L unit -j "$jobs"
echo "== slow engine checks"
run_ctest --test-dir "$build" -L slow
echo "== functional tests (private display)"
run_ctest_with scripts/with-display.sh --test-dir "$build" -L functional

echo "== unit tests under AddressSanitizer + UndefinedBehaviorSanitizer"
configure "$build-asan" -DLUMETTA_SANITIZE=address,undefined &&
    cmake --build "$build-asan" -j "$jobs" || status=1
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    run_ctest --test-dir "$build-asan" -L unit -j "$jobs"

echo "== concurrency tests under ThreadSanitizer"
configure "$build-tsan" -DLUMETTA_SANITIZE=thread &&
    cmake --build "$build-tsan" -j "$jobs" --target concurrency_tests || status=1
TSAN_OPTIONS=halt_on_error=1 run_ctest --test-dir "$build-tsan" -L concurrency -j "$jobs"

echo
awk '!seen[$0]++' "$skip_notes"  # a case skipped in several builds is listed once
if [ "$skipped" -gt 0 ]; then
    echo "tests: $passed passed, $failed failed, $skipped skipped"
else
    echo "tests: $passed passed, $failed failed"
fi
exit $status
