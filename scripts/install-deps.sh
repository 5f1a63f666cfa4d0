#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Installs the Debian packages that building, testing, fuzzing, packaging
# and the demo need, when they are missing. Run as root on Debian 12.
set -eu

# Lines three to five: building the Debian package and checking it, booting a
# Debian system under systemd-nspawn to run it, and the real DHCP clients and
# server, RA daemon, firewall and RA reader of the end-to-end tests; the last,
# the TCP figure of the benchmark.
packages="cmake g++ make pkg-config libgtest-dev googletest python3 iproute2 iputils-ping
procps clang libclang-rt-14-dev llvm-14 libbenchmark-dev valgrind mandoc systemd strace man-db
build-essential dpkg-dev debhelper fakeroot lintian devscripts
debootstrap debian-archive-keyring systemd-container
dnsmasq-base isc-dhcp-client dhcpcd-base busybox radvd nftables ndisc6
iperf3"

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
