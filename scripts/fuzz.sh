#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Builds the libFuzzer targets with clang in build-fuzz and runs each one.
#   scripts/fuzz.sh [seconds] [target...]    each target for that long (default 60)
#   scripts/fuzz.sh --smoke                  each target for a few seconds (CI)
#   scripts/fuzz.sh --build                  builds the targets, runs none
#   scripts/fuzz.sh --runs N [target...]     each target for N executions
#   scripts/fuzz.sh --coverage [target...]   replays the corpora in a coverage
#                                            build and reports the coverage of
#                                            src/forward and src/mapping
# Targets are named without the fuzz_ prefix (outbound, inbound, ...); the
# default is all of them. Prints executions per second and total executions
# per target; fails when a target finds a crash, a sanitizer report or a
# broken check. The inputs that did it are kept as
# build-fuzz/artifacts/<target>-crash-*.
set -eu
cd "$(dirname "$0")/.."

usage() {
    echo "usage: $0 [seconds | --smoke | --build | --runs N | --coverage] [target...]" >&2
    exit 2
}

mode="time"
seconds=60
runs=0
case "${1:-}" in
    --smoke) seconds=5; shift ;;
    --build) mode=build; shift ;;
    --runs)
        [ $# -ge 2 ] || usage
        runs=$2; mode=runs; shift 2 ;;
    --coverage) mode=coverage; shift ;;
    ''|-*) ;;
    *[!0-9]*) ;;
    *) seconds=$1; shift ;;
esac
case $runs in *[!0-9]*) usage ;; esac
case "${1:-}" in -*) usage ;; esac

scripts/install-deps.sh

build="build-fuzz"
configure_and_build() {  # folder, extra CMake options
    cmake -S . -B "$1" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFERRIN_FUZZ=ON -DBUILD_TESTING=OFF -DFERRIN_WERROR=ON "$2" >/dev/null
    cmake --build "$1" --target fuzz_targets -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
}
if [ "$mode" = coverage ]; then
    configure_and_build "$build/coverage" -DFERRIN_FUZZ_COVERAGE=ON
    all_targets=$(tr ';' ' ' <"$build/coverage/fuzz/targets.txt")
else
    configure_and_build "$build" -DFERRIN_FUZZ_COVERAGE=OFF
    all_targets=$(tr ';' ' ' <"$build/fuzz/targets.txt")
fi
[ "$mode" != build ] || exit 0

targets=${*:-$all_targets}
for target in $targets; do
    case " $all_targets " in
        *" $target "*) ;;
        *) echo "$0: no fuzz target $target (targets: $all_targets)" >&2; exit 2 ;;
    esac
done

max_len_of() {
    case $1 in
        command_line) echo 256 ;;
        mapping) echo 64 ;;
        segmentation|coalescing) echo 2400 ;;
        *) echo 2200 ;;
    esac
}

# The committed seeds and regressions of a target, then its working corpus.
inputs_of() {
    inputs="fuzz/corpus/$1"
    [ -d "fuzz/regressions/$1" ] && inputs="$inputs fuzz/regressions/$1"
    [ -d "$build/corpus/$1" ] && inputs="$inputs $build/corpus/$1"
    echo "$inputs"
}

if [ "$mode" = coverage ]; then
    # Every input of the corpora runs once in targets that count executions
    # per source region; llvm-cov reports the daemon's packet code.
    cov="$build/coverage"
    rm -rf "$cov/profiles"
    mkdir -p "$cov/profiles"
    objects=""
    for target in $targets; do
        # shellcheck disable=SC2046
        echo "== fuzz_$target: replaying $(find $(inputs_of "$target") -type f | wc -l) inputs"
        # shellcheck disable=SC2046
        LLVM_PROFILE_FILE="$cov/profiles/$target.profraw" "$cov/fuzz/fuzz_$target" -runs=0 \
            -max_len="$(max_len_of "$target")" -close_fd_mask=2 $(inputs_of "$target") \
            >"$cov/replay-$target.log" 2>&1 ||
            { echo "replay of fuzz_$target failed, see $cov/replay-$target.log" >&2; exit 1; }
        objects="$objects${objects:+ -object }$cov/fuzz/fuzz_$target"
    done
    llvm-profdata-14 merge -sparse -o "$cov/profiles/merged.profdata" "$cov"/profiles/*.profraw
    echo "== coverage of src/forward and src/mapping by $targets"
    # shellcheck disable=SC2086
    llvm-cov-14 report $objects -instr-profile="$cov/profiles/merged.profdata" \
        src/forward src/mapping
    echo "Per line: llvm-cov-14 show $objects -instr-profile=$cov/profiles/merged.profdata src/forward src/mapping"
    exit 0
fi

mkdir -p "$build/artifacts"
failed=""
summary=""
for target in $targets; do
    work="$build/corpus/$target"
    log="$build/fuzz-$target.log"
    mkdir -p "$work"
    seeds="fuzz/corpus/$target"
    [ -d "fuzz/regressions/$target" ] && seeds="$seeds fuzz/regressions/$target"
    if [ "$mode" = runs ]; then
        limit="-runs=$runs"
        echo "== fuzz_$target: $runs executions"
    else
        limit="-max_total_time=$seconds"
        echo "== fuzz_$target: $seconds s"
    fi

    status=0
    start=$(date +%s)
    # New inputs go to the first folder (the working corpus); the committed
    # seeds and regressions are read only. Standard error is closed in the
    # target so that trace lines cost nothing; the fuzzer's own output and
    # sanitizer reports still appear.
    # shellcheck disable=SC2086
    "$build/fuzz/fuzz_$target" "$limit" -max_len="$(max_len_of "$target")" \
        -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
        "$work" $seeds >"$log" 2>&1 || status=$?
    elapsed=$(($(date +%s) - start))

    executed=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *\([0-9]*\).*/\1/p' "$log" | tail -n 1)
    executed=${executed:-0}
    rate=${rate:-0}
    corpus=$(find "$work" -type f | wc -l)
    line=$(printf '%-14s %6s s %12s executions %9s exec/s  corpus %s' \
        "$target" "$elapsed" "$executed" "$rate" "$corpus")
    if [ "$status" -ne 0 ]; then
        line="$line  FAILED (status $status, log $log)"
        failed="$failed $target"
        grep -E 'check failed|ERROR: |runtime error|SUMMARY|Test unit written' "$log" | head -n 20 || true
    fi
    echo "$line"
    summary="$summary$line
"
done

echo "== fuzz summary"
printf '%s' "$summary"
if [ -n "$failed" ]; then
    echo "fuzz targets failed:$failed" >&2
    exit 1
fi
