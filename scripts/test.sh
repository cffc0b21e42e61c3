#!/usr/bin/env bash
# Runs every test: unit tests, the slow engine checks, the functional tests on a private
# display, the unit tests again under AddressSanitizer + UndefinedBehaviorSanitizer, the
# concurrency tests under ThreadSanitizer, the fuzz targets for a fixed time each, and the
# functional tests once more with the application built with AddressSanitizer.
# LUMETTA_FUZZ_TIME sets the seconds each fuzz target runs (20); LUMETTA_SOAK=1 makes the soak
# and load tests run their long variants.
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
# ccache keys on paths relative to the checkout, so a clone in another folder reuses the cache.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}" CCACHE_NOHASHDIR=true
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

fuzz_time="${LUMETTA_FUZZ_TIME:-20}"
echo "== fuzz targets (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer; ${fuzz_time} s each)"
CC=clang CXX=clang++ cmake -G Ninja -S . -B "$build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLUMETTA_UNIT_ONLY=ON -DLUMETTA_FUZZ=ON -DLUMETTA_FUZZ_TIME="$fuzz_time" \
    -DCMAKE_CXX_COMPILER_LAUNCHER="$ccache" -DCMAKE_C_COMPILER_LAUNCHER="$ccache" >/dev/null &&
    cmake --build "$build-fuzz" -j "$jobs" --target fuzz_targets || status=1
run_ctest --test-dir "$build-fuzz" -L fuzz -j "$jobs"
cat "$build-fuzz"/tests/fuzz/corpus-*/summary.txt 2>/dev/null

# Only this process is instrumented: WebKit's web and network processes are separate programs.
# Leaks inside the system's libraries (GTK, WebKit, fontconfig, Mesa...) are suppressed by
# scripts/lsan-suppressions.txt; a leak with one of our frames on top is still reported.
echo "== functional tests with the application under AddressSanitizer"
# Only the programs the functional tests run are built: the application and the test programs.
functional_targets() {
    python3 - "$1" <<'PY'
import os, re, sys
build = os.path.realpath(sys.argv[1])
commands, labelled = {}, set()
for root, _, files in os.walk(build):
    if "CTestTestfile.cmake" not in files:
        continue
    for line in open(os.path.join(root, "CTestTestfile.cmake")):
        if m := re.match(r'add_test\(\[=\[(.*?)\]=\] (.*)\)$', line.strip()):
            commands[m[1]] = re.findall(r'"([^"]*)"', m[2])
        elif (m := re.match(r'set_tests_properties\(\[=\[(.*?)\]=\] PROPERTIES (.*)', line)) \
                and re.search(r'LABELS "[^"]*\bfunctional\b', m[2]):
            labelled.add(m[1])
names = {os.path.basename(a) for t in labelled for a in commands.get(t, [])
         if os.path.realpath(a).startswith(build + os.sep)}
print(" ".join(sorted(names | {"lumetta"})))
PY
}
cmake -G Ninja -S . -B "$build-asan-app" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLUMETTA_SANITIZE=address \
    -DCMAKE_CXX_COMPILER_LAUNCHER="$ccache" -DCMAKE_C_COMPILER_LAUNCHER="$ccache" >/dev/null &&
    cmake --build "$build-asan-app" -j "$jobs" --target $(functional_targets "$build-asan-app") ||
    status=1
# Leak checking is off here: a system module that is unloaded before exit leaves one 128-byte
# block LeakSanitizer cannot attribute (no frames), so it cannot be suppressed by library.
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:detect_odr_violation=0 \
    LSAN_OPTIONS="suppressions=$PWD/scripts/lsan-suppressions.txt:print_suppressions=0" \
    run_ctest_with scripts/with-display.sh --test-dir "$build-asan-app" -L functional \
    -E '^package_install$'  # the package is built and checked in the normal tree

echo
awk '!seen[$0]++' "$skip_notes"  # a case skipped in several builds is listed once
if [ "$skipped" -gt 0 ]; then
    echo "tests: $passed passed, $failed failed, $skipped skipped"
else
    echo "tests: $passed passed, $failed failed"
fi
exit $status
