#!/usr/bin/env bash
# Runs every test: unit tests, the slow engine checks, the functional tests on a private
# display, the unit tests again under AddressSanitizer + UndefinedBehaviorSanitizer, and the
# concurrency tests under ThreadSanitizer.
set -uo pipefail
build="${1:-build}"
jobs="$(nproc)"
passed=0
failed=0
status=0

# Runs one ctest invocation, inside `wrapper` when given, and adds its counts to the totals.
run_ctest_with() {
    local wrapper="$1" log
    shift
    log="$(mktemp)"
    $wrapper ctest --output-on-failure "$@" 2>&1 | tee "$log"
    local rc=${PIPESTATUS[0]}
    local line
    line="$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)"
    if [ -n "$line" ]; then
        local total bad
        total="$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")"
        bad="$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")"
        passed=$((passed + total - bad))
        failed=$((failed + bad))
    elif [ "$rc" -ne 0 ]; then
        failed=$((failed + 1))
    fi
    [ "$rc" -ne 0 ] && status=1
    rm -f "$log"
}
run_ctest() { run_ctest_with "" "$@"; }

echo "== unit tests"
run_ctest --test-dir "$build" -L unit -j "$jobs"
echo "== slow engine checks"
run_ctest --test-dir "$build" -L slow
echo "== functional tests (private display)"
run_ctest_with scripts/with-display.sh --test-dir "$build" -L functional

echo "== unit tests under AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -G Ninja -S . -B "$build-asan" -DCMAKE_BUILD_TYPE=Debug -DLUMETTA_UNIT_ONLY=ON \
    -DLUMETTA_SANITIZE=address,undefined >/dev/null && cmake --build "$build-asan" -j "$jobs" || status=1
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    run_ctest --test-dir "$build-asan" -L unit -j "$jobs"

echo "== concurrency tests under ThreadSanitizer"
cmake -G Ninja -S . -B "$build-tsan" -DCMAKE_BUILD_TYPE=Debug -DLUMETTA_UNIT_ONLY=ON \
    -DLUMETTA_SANITIZE=thread >/dev/null && cmake --build "$build-tsan" -j "$jobs" --target concurrency_tests || status=1
TSAN_OPTIONS=halt_on_error=1 run_ctest --test-dir "$build-tsan" -L concurrency -j "$jobs"

echo
echo "tests: $passed passed, $failed failed"
exit $status
