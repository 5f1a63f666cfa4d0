#!/bin/sh
# Installs the Debian packages that building, testing, fuzzing and the demo
# need, when they are missing. Run as root on Debian 12.
set -eu

packages="cmake g++ make pkg-config libgtest-dev googletest python3 iproute2 iputils-ping
procps clang libclang-rt-14-dev libbenchmark-dev valgrind mandoc systemd strace man-db
dnsmasq-base isc-dhcp-client dhcpcd-base busybox"

missing=""
for p in $packages; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
# shellcheck disable=SC2086
if ! apt-get install -y --no-install-recommends $missing; then
    apt-get update
    apt-get install -y --no-install-recommends $missing
fi
