#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Builds ferrin and runs every test: once as released, once under
# AddressSanitizer and UndefinedBehaviorSanitizer; then builds it as a
# packager would, without tests. Run as root.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)

# Here every warning is an error, and the benchmark's smoke run is a test.
# Release (-O3) for the tests too: the optimiser's warnings are the ones a
# new compiler brings first.
echo "== release build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DFERRIN_WERROR=ON -DFERRIN_BENCH=ON
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure)

echo "== sanitizer build"
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DFERRIN_SANITIZE=ON \
    -DFERRIN_WERROR=ON -DFERRIN_BENCH=ON
cmake --build build-sanitize -j "$jobs"
(cd build-sanitize && ASAN_OPTIONS=halt_on_error=1:abort_on_error=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --output-on-failure)

# A packager's build: optimised, no tests, GoogleTest and Google Benchmark
# out of reach, installed into a staging folder.
echo "== build without tests, as without GoogleTest"
cmake -S . -B build-notests --no-warn-unused-cli -DCMAKE_BUILD_TYPE=Release -DFERRIN_WERROR=ON \
    -DBUILD_TESTING=OFF \
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
    -DCMAKE_INSTALL_PREFIX=/usr
cmake --build build-notests -j "$jobs"
rm -rf build-notests/stage
DESTDIR="$PWD/build-notests/stage" cmake --install build-notests
build-notests/stage/usr/sbin/ferrin -V || [ $? -eq 1 ]

echo "== fuzz targets, a few seconds each"
scripts/fuzz.sh --smoke

echo "== all tests passed"
