#!/bin/sh
# Builds ferrin and runs every test: once as released, once under
# AddressSanitizer and UndefinedBehaviorSanitizer. Run as root.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)

# Here every warning is an error, and the benchmark's smoke run is a test.
echo "== release build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFERRIN_WERROR=ON -DFERRIN_BENCH=ON
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure)

echo "== sanitizer build"
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DFERRIN_SANITIZE=ON \
    -DFERRIN_WERROR=ON -DFERRIN_BENCH=ON
cmake --build build-sanitize -j "$jobs"
(cd build-sanitize && ASAN_OPTIONS=halt_on_error=1:abort_on_error=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --output-on-failure)

echo "== fuzz targets, a few seconds each"
scripts/fuzz.sh --smoke

echo "== all tests passed"
