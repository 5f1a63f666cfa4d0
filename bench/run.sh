#!/bin/bash
# SPDX-License-Identifier: BSD-2-Clause
# ferrin against the I/O floor: forwarding rates, memory, allocations,
# system calls and the cost of the decision code. See bench/README.md.
#
#   bench/run.sh [--smoke] [--build DIR] [--no-build] [other options of bench.py]
#
# Run as root. Builds DIR (default: build-bench beside this folder) unless
# --no-build, then runs bench.py, which makes two network namespaces and
# removes them at the end. The trap below removes whatever is left of them
# when the run is interrupted or killed.
set -u

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build="$root/build-bench"
do_build=1
args=()
while [ $# -gt 0 ]; do
    case "$1" in
    --build) build=$(cd "$2" 2>/dev/null && pwd || echo "$2"); shift 2 ;;
    --no-build) do_build=0; shift ;;
    *) args+=("$1"); shift ;;
    esac
done

if [ "$(id -u)" != 0 ]; then
    echo "run.sh: needs root (network namespaces, tunnel device, raw sockets)" >&2
    exit 1
fi

if [ "$do_build" = 1 ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFERRIN_BENCH=ON >/dev/null || exit 1
    cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null || exit 1
fi
for f in "$build/ferrin" "$build/bench/floor_forwarder" "$build/bench/alloc_count.so"; do
    if [ ! -x "$f" ] && [ ! -f "$f" ]; then
        echo "run.sh: $f is missing; build $build first (or drop --no-build)" >&2
        exit 1
    fi
done

# Every namespace of this run is named after the tag.
export BENCH_TAG="fb$(( $$ % 100000 ))"
child=""
cleanup() {
    trap - INT TERM HUP EXIT
    if [ -n "$child" ] && kill -0 "$child" 2>/dev/null; then
        kill -TERM "$child" 2>/dev/null
        wait "$child" 2>/dev/null
    fi
    for ns in $(ip netns list 2>/dev/null | awk '{print $1}'); do
        case "$ns" in
        "${BENCH_TAG}"[abcd][sp])
            # Whatever still runs in a namespace of this run was started by it.
            for pid in $(ip netns pids "$ns" 2>/dev/null); do
                kill -TERM "$pid" 2>/dev/null
            done
            ip netns del "$ns" 2>/dev/null
            ;;
        esac
    done
}
trap 'cleanup; exit 130' INT TERM HUP
trap cleanup EXIT

python3 "$here/bench.py" --ferrin "$build/ferrin" --tools "$build/bench" "${args[@]}" &
child=$!
wait "$child"
status=$?
# A signal interrupts wait; the trap has already stopped the child then.
child=""
exit "$status"
