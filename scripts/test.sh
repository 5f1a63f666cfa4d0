#!/bin/bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds ferrin and runs every test: once as released, once under
# AddressSanitizer and UndefinedBehaviorSanitizer; builds it as a packager
# would, without tests; builds the fuzz targets and runs each a few seconds.
# Run as root. It stops at the first stage that fails, with its status.
#
# After the release build the stages go in two lanes: its tests, which most
# of their time wait on the network, timers and daemons; and beside them,
# at a lower priority, the sanitizer build and its tests, the packager's
# build and the fuzz targets, one after the other. A failure of the release
# tests ends the other lane at once; one of the other lane is reported when
# the release tests end. Tests run side by side (ctest -j, twice the CPUs;
# CTEST_PARALLEL_LEVEL chooses another number). Each stage's time is printed
# as it ends, and all of them at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
test_jobs=${CTEST_PARALLEL_LEVEL:-$((jobs * 2))}
logs=build-logs
mkdir -p "$logs"
started=$SECONDS
times=""

# stage_done NAME SINCE: notes how long the stage NAME took since SECONDS was SINCE.
stage_done() {
    local line
    line=$(printf '%-44s %4d s' "$1" $((SECONDS - $2)))
    times="$times$line"$'\n'
    echo "== $line"
}

# The builds beside the release tests, one after the other, in a session of
# their own so that a failure elsewhere ends them all; each notes its time
# in the log.
background=
end_background() {
    if [ -n "$background" ]; then
        kill -TERM -- "-$background" 2>/dev/null || true
        wait "$background" 2>/dev/null || true
        background=
    fi
}
trap end_background EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

other_builds() {
    local since
    echo "== sanitizer build"
    since=$SECONDS
    cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DFERRIN_SANITIZE=ON \
        -DFERRIN_WERROR=ON -DFERRIN_BENCH=ON
    cmake --build build-sanitize -j "$jobs"
    echo "time: sanitizer build: $((SECONDS - since))"

    echo "== sanitizer tests (ctest -j $test_jobs)"
    since=$SECONDS
    (cd build-sanitize && ASAN_OPTIONS=halt_on_error=1:abort_on_error=1 \
        UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest -j "$test_jobs" --output-on-failure)
    echo "time: sanitizer tests: $((SECONDS - since))"

    # A packager's build: optimised, no tests, GoogleTest and Google Benchmark
    # out of reach, installed into a staging folder.
    echo "== build without tests, as without GoogleTest"
    since=$SECONDS
    cmake -S . -B build-notests --no-warn-unused-cli -DCMAKE_BUILD_TYPE=Release -DFERRIN_WERROR=ON \
        -DBUILD_TESTING=OFF \
        -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
        -DCMAKE_INSTALL_PREFIX=/usr
    cmake --build build-notests -j "$jobs"
    rm -rf build-notests/stage
    DESTDIR="$PWD/build-notests/stage" cmake --install build-notests
    build-notests/stage/usr/sbin/ferrin -V || [ $? -eq 1 ]
    echo "time: build without tests: $((SECONDS - since))"

    echo "== fuzz targets, a few seconds each"
    since=$SECONDS
    scripts/fuzz.sh --smoke
    echo "time: fuzz targets, built and run: $((SECONDS - since))"
}
if [ "${1:-}" = --builds-beside-the-tests ]; then
    other_builds
    exit 0
fi

scripts/install-deps.sh

# Here every warning is an error, and the benchmark's smoke run is a test.
# Release (-O3) for the tests too: the optimiser's warnings are the ones a
# new compiler brings first.
echo "== release build"
since=$SECONDS
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DFERRIN_WERROR=ON -DFERRIN_BENCH=ON
cmake --build build -j "$jobs"
stage_done "release build" "$since"

echo "== release tests (ctest -j $test_jobs); beside them the sanitizer build and tests, the packager's build and the fuzz targets (log $logs/other-builds.log)"
setsid --wait nice -n 10 "$0" --builds-beside-the-tests >"$logs/other-builds.log" 2>&1 </dev/null &
background=$!
since=$SECONDS
(cd build && ctest -j "$test_jobs" --output-on-failure)
stage_done "release tests" "$since"

status=0
wait "$background" || status=$?
background=
grep -E '^([0-9]+% tests passed|== fuzz_|[a-z_]+ +[0-9]+ s .* exec/s)' "$logs/other-builds.log" || true
grep '^time: ' "$logs/other-builds.log" >"$logs/other-builds.log.times" || true
if [ "$status" -ne 0 ]; then
    # The failed stage's part of the log: from its "==" line on.
    # shellcheck disable=SC2016
    sed -n '/^== /h; /^== /!H; ${x; p}' "$logs/other-builds.log" | tail -n 300
    echo "== FAILED: a stage beside the release tests (status $status), log $logs/other-builds.log" >&2
    exit "$status"
fi
while IFS= read -r line; do
    name=${line#time: }
    times="$times$(printf '%-44s %4d s' "  ${name%: *}, beside them" "${name##*: }")"$'\n'
done <"$logs/other-builds.log.times"
stage_done "both lanes" "$since"

echo
echo "== times"
printf '%s' "$times"
printf '%-44s %4d s\n' "all" $((SECONDS - started))
echo "== all tests passed"
