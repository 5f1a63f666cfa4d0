#!/bin/sh
# Builds the libFuzzer targets with clang in build-fuzz and runs each one.
#   scripts/fuzz.sh [seconds]   each target for that long (default 60)
#   scripts/fuzz.sh --smoke     each target for a few seconds (CI)
# Prints executions per second and total executions per target; fails when a
# target finds a crash, a sanitizer report or a broken check. The inputs that
# did it are kept as build-fuzz/artifacts/<target>-crash-*.
set -eu
cd "$(dirname "$0")/.."

seconds=60
case "${1:-}" in
    --smoke) seconds=5 ;;
    '') ;;
    *[!0-9]*)
        echo "usage: $0 [seconds | --smoke]" >&2
        exit 2 ;;
    *) seconds=$1 ;;
esac

scripts/install-deps.sh

build=build-fuzz
cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFERRIN_FUZZ=ON -DBUILD_TESTING=OFF -DFERRIN_WERROR=ON >/dev/null
cmake --build "$build" --target fuzz_targets -j "$(nproc 2>/dev/null || echo 2)" >/dev/null

targets=$(tr ';' ' ' <"$build/fuzz/targets.txt")
mkdir -p "$build/artifacts"
failed=""
summary=""
for target in $targets; do
    case $target in
        command_line) max_len=256 ;;
        mapping) max_len=64 ;;
        *) max_len=2200 ;;
    esac
    work="$build/corpus/$target"
    log="$build/fuzz-$target.log"
    mkdir -p "$work"
    seeds="fuzz/corpus/$target"
    [ -d "fuzz/regressions/$target" ] && seeds="$seeds fuzz/regressions/$target"

    echo "== fuzz_$target: $seconds s"
    status=0
    # New inputs go to the first folder (the working corpus); the committed
    # seeds and regressions are read only. Standard error is closed in the
    # target so that trace lines cost nothing; the fuzzer's own output and
    # sanitizer reports still appear.
    # shellcheck disable=SC2086
    "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len="$max_len" \
        -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
        "$work" $seeds >"$log" 2>&1 || status=$?

    runs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *\([0-9]*\).*/\1/p' "$log" | tail -n 1)
    runs=${runs:-0}
    rate=${rate:-0}
    corpus=$(find "$work" -type f | wc -l)
    line=$(printf '%-14s %6s s %12s executions %9s exec/s  corpus %s' \
        "$target" "$seconds" "$runs" "$rate" "$corpus")
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
