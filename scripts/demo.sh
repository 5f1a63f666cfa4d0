#!/bin/bash
# SPDX-License-Identifier: BSD-2-Clause
# Shows ferrin at work: a small 6rd domain made of two sites, each in its own
# network namespace with its own ferrin, and a ping that crosses the tunnel
# from one site's delegated IPv6 prefix to the other's; then a LAN host
# behind site A, which runs nothing but the kernel's SLAAC, gets its address
# and route from router advertisements and pings site B too. The LAN's radvd
# runs with the configuration that ferrin-6rd writes for site A's lease.
#
# Run as root on Debian 12:   ./scripts/demo.sh
# It installs what is missing and builds ferrin and ferrin-6rd into build/
# first. With FERRIN_BINARY=/path/to/ferrin it uses that binary, and the
# ferrin-6rd beside it (or FERRIN_6RD_BINARY), and skips both.
#
# Everything it makes (namespaces, the veth links, the tun interfaces, the two
# daemons and radvd, its temporary folder) is removed when it ends, also when it is
# interrupted: each is recorded before it is made, so an interrupt at any
# moment finds it, and whatever runs in the demo's namespaces is ended with
# them. Every wait has a time limit. Exit status 0 when the pings got their
# answers, 130 after Ctrl-C (SIGINT), 143 after SIGTERM, 1 otherwise.
# shellcheck disable=SC2317  # functions called from traps and wait_until
set -euo pipefail
# Binaries named relative to where the demo was started from.
for variable in FERRIN_BINARY FERRIN_6RD_BINARY; do
    case ${!variable:-/} in
    /*) ;;
    *) printf -v "$variable" '%s/%s' "$PWD" "${!variable}" ;;
    esac
done
cd "$(dirname "$0")/.."

# The 6rd domain: its prefix, its border relay (never reached here: the ping
# stays inside the domain) and the two sites' own IPv4 addresses.
readonly prefix=2001:db8::/32
readonly relay=203.0.113.1
readonly v4_a=192.0.2.1
readonly v4_b=198.51.100.7
readonly tun=tun6rd0

# Names of our own, so that two demos (or a demo and a test) never meet.
readonly ns_a="ferrin-demo-$$-a"
readonly ns_b="ferrin-demo-$$-b"
readonly ns_host="ferrin-demo-$$-h"
readonly veth_a="fdemo$$a"
readonly veth_b="fdemo$$b"
readonly lan_a="fdemo$$l"
readonly lan_host="fdemo$$h"
readonly workdir_name="${TMPDIR:-/tmp}/ferrin-demo.$$"

# What cleanup removes; each entry is made right after it is recorded.
workdir=
made_namespaces=()
daemon_pids=()
interrupted=
told=
cleaning=
step_number=0
readonly step_count=9

step() {
    step_number=$((step_number + 1))
    printf '\n[%d/%d] %s\n' "$step_number" "$step_count" "$1"
    shift
    local line
    for line in "$@"; do
        printf '      %s\n' "$line"
    done
}

# Prints a command the way an operator would type it, then runs it.
show() {
    printf '      # %s\n' "$*"
    "$@"
}

# Between the traps and the clean-up the demo uses no command substitution
# ($(...)) nor process substitution: bash forgets a Ctrl-C that lands while
# the child of one starts (the child takes it), and the demo would run on.
# What a command prints goes through a file in the work folder instead.

# Prints a command run inside a site's namespace, then runs it there.
in_site() {
    local ns=$1
    shift
    site_of "$ns"
    printf '      %s# %s\n' "$site_name" "$*"
    ip netns exec "$ns" "$@"
}

# Sets site_name to the name of the namespace $1 in the demo's words.
site_of() {
    case "$1" in
    "$ns_a") site_name="site A" ;;
    "$ns_b") site_name="site B" ;;
    *) site_name="LAN host" ;;
    esac
}

alive() {
    # A process that has ended but not yet been reaped counts as gone.
    local stat
    { read -r stat <"/proc/$1/stat"; } 2>/dev/null || return 1
    stat=${stat##*) }
    [ -n "$stat" ] && [ "${stat%% *}" != Z ]
}

gone() {
    ! alive "$1"
}

# wait_until SECONDS DESCRIPTION COMMAND...: polls COMMAND every 0.1 s.
wait_until() {
    local limit=$1 what=$2
    shift 2
    local tries=$((limit * 10))
    while ! "$@"; do
        tries=$((tries - 1))
        if [ "$tries" -le 0 ]; then
            echo "      timed out after ${limit}s waiting for $what" >&2
            return 1
        fi
        sleep 0.1
    done
}

# The processes in the demo's namespaces: the daemons and radvd, also one
# started just before an interrupt, before its PID was recorded.
namespace_pids() {
    local ns
    for ns in "${made_namespaces[@]}"; do
        ip netns pids "$ns" 2>/dev/null || true
    done
}

nothing_runs() {
    [ -z "$(namespace_pids)" ]
}

cleanup() {
    local status=$?
    [ -z "$cleaning" ] || return 0
    cleaning=1
    # A second Ctrl-C must not cut the removal short; what cleanup runs
    # inherits the ignored signals.
    trap '' INT TERM
    trap - EXIT
    # A command that Ctrl-C ended may end the demo (set -e) before bash runs
    # the trap, or without it.
    if [ "$status" -eq 130 ] && [ -z "$interrupted" ]; then
        on_signal 130 interrupted
    fi
    local pid
    for pid in "${daemon_pids[@]}" $(namespace_pids); do
        kill -TERM "$pid" 2>/dev/null || true
    done
    if ! wait_until 5 "the demo's processes to stop" nothing_runs 2>/dev/null; then
        for pid in $(namespace_pids); do
            kill -KILL "$pid" 2>/dev/null || true
        done
        wait_until 5 "the demo's processes to end" nothing_runs || true
    fi
    for pid in "${daemon_pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    local ns
    for ns in "${made_namespaces[@]}"; do
        ip netns del "$ns" 2>/dev/null || true
    done
    [ -z "$workdir" ] || rm -rf "$workdir"
    exit "${interrupted:-$status}"
}

# A signal that lands while cleanup runs (or the moment it begins, when bash
# runs this trap first) only sets the status and says so: cleanup finishes
# its work. The message goes to the demo's own output (3), also when the trap
# runs inside a function whose output is redirected.
on_signal() {
    interrupted=$1
    if [ -z "$told" ]; then
        told=1
        printf '\n%s: removing what the demo made\n' "$2" >&3
    fi
    [ -z "$cleaning" ] || return 0
    cleanup
}
exec 3>&1
trap cleanup EXIT
trap 'on_signal 130 interrupted' INT
trap 'on_signal 143 terminated' TERM

# The IPv6 prefix a site gets: the 6rd prefix followed by the site's own
# IPv4 address (no -r, so all 32 bits of it), as ferrin derives it.
# delegated_prefix VAR V4
delegated_prefix() {
    local a b c d
    IFS=. read -r a b c d <<<"$2"
    printf -v "$1" '2001:db8:%x:%x::/64' $((a * 256 + b)) $((c * 256 + d))
}
site_prefix_a=''
site_prefix_b=''
delegated_prefix site_prefix_a "$v4_a"
delegated_prefix site_prefix_b "$v4_b"
host_a=${site_prefix_a%/64}1
host_b=${site_prefix_b%/64}1

if [ "$EUID" -ne 0 ]; then
    echo "demo.sh: run me as root (I make network namespaces and tun interfaces)" >&2
    exit 1
fi

# The temporary folder, recorded first; a folder of that name that is not
# ours (mkdir fails) is left alone.
workdir=$workdir_name
if ! mkdir -m 700 "$workdir"; then
    workdir=
    echo "demo.sh: $workdir_name exists: remove it, or wait for the other demo" >&2
    exit 1
fi

echo "ferrin demonstration: two sites of one 6rd domain talk IPv6 over IPv4."
echo "6rd prefix $prefix, border relay $relay,"
echo "site A at $v4_a, site B at $v4_b."

if [ -n "${FERRIN_BINARY:-}" ]; then
    binary=$FERRIN_BINARY
    case $binary in
    */*) helper=${FERRIN_6RD_BINARY:-${binary%/*}/ferrin-6rd} ;;
    *) helper=${FERRIN_6RD_BINARY:-ferrin-6rd} ;;
    esac
    step "Using the binary named by FERRIN_BINARY (no package installation, no build)"
else
    binary=build/ferrin
    helper=build/ferrin-6rd
    step "Installing the Debian packages that are missing, then building ferrin into build/"
    show scripts/install-deps.sh
    # An existing build folder keeps its build type; a new one gets the default.
    nproc >"$workdir/cpus"
    read -r cpus <"$workdir/cpus"
    configure=(cmake -S . -B build)
    compile=(cmake --build build --target ferrin ferrin-6rd -j "$cpus")
    printf '      # %s && %s\n' "${configure[*]}" "${compile[*]}"
    if ! { "${configure[@]}" && "${compile[@]}"; } >"$workdir/build.log" 2>&1; then
        tail -n 40 "$workdir/build.log"
        echo "demo.sh: the build failed" >&2
        exit 1
    fi
fi

step "Checking the binaries: -V prints the daemon's name and version"
for program in "$binary" "$helper"; do
    [ -x "$program" ] || { echo "demo.sh: $program is not an executable" >&2; exit 1; }
done
printf '      # %s -V\n' "$binary"
{ "$binary" -V || true; } | sed 's/^/      /'
printf '      # %s --version\n' "$helper"
"$helper" --version | sed 's/^/      /'

step "Making the two sites: one network namespace each, joined by a veth link" \
    "Each site gets its own IPv4 address, and a route to the other one, as an" \
    "IPv4 network would give it. This is the IPv4 path the tunnel rides on."
for ns in "$ns_a" "$ns_b"; do
    made_namespaces+=("$ns")
    show ip netns add "$ns"
    ip netns exec "$ns" ip link set lo up
    # Keep the kernel's own IPv6 chatter (link-local addresses, router
    # solicitations) off the tunnel, so the statistics count only the ping.
    ip netns exec "$ns" sysctl -q -w net.ipv6.conf.default.addr_gen_mode=1 \
        net.ipv6.conf.default.router_solicitations=0
done
show ip link add "$veth_a" netns "$ns_a" type veth peer name "$veth_b" netns "$ns_b"
in_site "$ns_a" ip addr add "$v4_a/24" dev "$veth_a"
in_site "$ns_a" ip link set "$veth_a" up
in_site "$ns_a" ip route add "$v4_b/32" dev "$veth_a"
in_site "$ns_b" ip addr add "$v4_b/24" dev "$veth_b"
in_site "$ns_b" ip link set "$veth_b" up
in_site "$ns_b" ip route add "$v4_a/32" dev "$veth_b"

step "Starting one ferrin per site, in the foreground (-F) with trace lines (-d)" \
    "Each makes the tun interface $tun in its site, with MTU 1280, up." \
    "Messages and trace lines go to standard error, saved in a file."
start_site() {
    local ns=$1 own=$2 log=$3
    site_of "$ns"
    printf '      %s# %s -F -d %s %s %s %s 2>%s &\n' "$site_name" "$binary" \
        "$tun" "$prefix" "$relay" "$own" "${log##*/}"
    ip netns exec "$ns" "$binary" -F -d "$tun" "$prefix" "$relay" "$own" \
        </dev/null >/dev/null 2>"$log" &
    daemon_pids+=("$!")
}
site_ready() {
    local ns=$1 log=$2 pid=$3
    if ! alive "$pid"; then
        site_of "$ns"
        echo "      ferrin in $site_name stopped during start-up:" >&2
        sed 's/^/        /' "$log" >&2
        exit 1
    fi
    grep -q 'ferrin/[0-9.]* started' "$log" && ip netns exec "$ns" ip link show "$tun" >/dev/null 2>&1
}
start_site "$ns_a" "$v4_a" "$workdir/site-a.log"
start_site "$ns_b" "$v4_b" "$workdir/site-b.log"
pid_a=${daemon_pids[0]}
pid_b=${daemon_pids[1]}
wait_until 10 "ferrin in site A to start" site_ready "$ns_a" "$workdir/site-a.log" "$pid_a"
wait_until 10 "ferrin in site B to start" site_ready "$ns_b" "$workdir/site-b.log" "$pid_b"
echo "      both running: site A PID $pid_a, site B PID $pid_b"
sed 's/^/      site A: /' "$workdir/site-a.log"
sed 's/^/      site B: /' "$workdir/site-b.log"

step "Giving each site an address from its delegated prefix, and routes" \
    "Delegated prefix = 6rd prefix + own IPv4 address in hexadecimal:" \
    "  site A: 2001:db8::/32 + $v4_a -> $site_prefix_a" \
    "  site B: 2001:db8::/32 + $v4_b -> $site_prefix_b" \
    "The whole 6rd prefix is routed into $tun: ferrin picks the IPv4 end." \
    "Site A's address has the 6rd prefix's length, as ferrin-6rd gives it:" \
    "its /64 is kept for a LAN."
in_site "$ns_a" ip -6 addr add "$host_a/32" dev "$tun"
in_site "$ns_a" ip -6 route replace "$prefix" dev "$tun"
in_site "$ns_b" ip -6 addr add "$host_b/64" dev "$tun"
in_site "$ns_b" ip -6 route add "$prefix" dev "$tun"

step "Pinging site B's address from site A's address, across the tunnel" \
    "Site A's ferrin wraps each IPv6 packet in IPv4 (protocol 41) and sends it" \
    "straight to $v4_b, the address embedded in the destination; site B's" \
    "ferrin checks and unwraps it, and the answer takes the same road back."
ping_ok=1
ping_command=(ping -6 -n -c 3 -i 0.2 -W 2 -I "$host_a" "$host_b")
printf '      site A# %s\n' "${ping_command[*]}"
ip netns exec "$ns_a" timeout --foreground 15 "${ping_command[@]}" 2>&1 | sed 's/^/        /' || ping_ok=0

step "Asking both daemons for their statistics line (kill -USR1)" \
    "In the foreground the line also goes to standard error; a detached" \
    "daemon writes it to syslog only."
statistics_written() {
    grep -q 'Ipkts ' "$1"
}
for site in a b; do
    if [ "$site" = a ]; then pid=$pid_a; else pid=$pid_b; fi
    log="$workdir/site-$site.log"
    show kill -USR1 "$pid"
    wait_until 5 "the statistics line of site ${site^^}" statistics_written "$log"
    grep 'Ipkts ' "$log" | tail -n 1 | sed "s/^/      site ${site^^}: /"
done
echo "      trace lines of the ping (out: sent into IPv4, in: delivered to $tun):"
grep -h -E '^(out |in  )' "$workdir/site-a.log" | sed 's/^/        site A: /' | head -n 6
grep -h -E '^(out |in  )' "$workdir/site-b.log" | sed 's/^/        site B: /' | head -n 6

step "A LAN behind site A: router advertisements, forwarding, a host with SLAAC only" \
    "ferrin-6rd, given site A's lease (option 212: IPv4MaskLen 0, the 6rd prefix," \
    "the relay) and a settings file that names the LAN interface, shows what it" \
    "sets up, and prints the radvd configuration it writes for its radvd unit" \
    "(show --radvd; both change nothing). radvd runs with that file; forwarding" \
    "is on. The host, in a namespace of its own, runs nothing but SLAAC."
lan_ok=0
radvd=
for dir in ${PATH//:/ } /usr/sbin /sbin; do
    if [ -x "$dir/radvd" ]; then
        radvd=$dir/radvd
        break
    fi
done
# Sets host_address to the host's global address, once it is no longer tentative.
host_ready() {
    ip netns exec "$ns_host" ip -6 -o addr show dev "$lan_host" scope global 2>/dev/null |
        awk '!/tentative/ { sub(/\/64/, "", $4); print $4; exit }' >"$workdir/host_address"
    host_address=
    read -r host_address <"$workdir/host_address" || true
    [ -n "$host_address" ] &&
        ip netns exec "$ns_host" ip -6 route show default | grep -q 'proto ra'
}
if [ -z "$radvd" ]; then
    echo "      radvd is not installed (scripts/install-deps.sh installs it)" >&2
else
    made_namespaces+=("$ns_host")
    show ip netns add "$ns_host"
    ip netns exec "$ns_host" ip link set lo up
    show ip link add "$lan_a" netns "$ns_a" type veth peer name "$lan_host" netns "$ns_host"
    # The LAN interface needs the link-local address that radvd sends from.
    ip netns exec "$ns_a" sysctl -q -w "net.ipv6.conf.$lan_a.addr_gen_mode=0"
    echo "lan_interface = $lan_a" >"$workdir/dhcp.conf"
    printf '      # echo "lan_interface = %s" > dhcp.conf\n' "$lan_a"
    lease=("$v4_a" 0 "${prefix#*/}" "${prefix%/*}" "$relay")
    printf '      # %s show --settings dhcp.conf %s\n' "$helper" "${lease[*]}"
    "$helper" show --settings "$workdir/dhcp.conf" "${lease[@]}" >"$workdir/plan"
    sed 's/^/        /' "$workdir/plan"
    lan_address=
    while read -r name address _; do
        [ "$name" != "$lan_a" ] || lan_address=$address
    done <"$workdir/plan"
    printf '      # %s show --settings dhcp.conf --radvd %s > radvd.conf\n' "$helper" "${lease[*]}"
    "$helper" show --settings "$workdir/dhcp.conf" --radvd "${lease[@]}" >"$workdir/radvd.conf"
    sed 's/^/        /' "$workdir/radvd.conf"
    in_site "$ns_a" ip link set "$lan_a" up
    in_site "$ns_a" ip -6 addr add "$lan_address" dev "$lan_a"
    in_site "$ns_a" sysctl -q -w net.ipv6.conf.all.forwarding=1
    printf '      site A# radvd --nodaemon --config radvd.conf &\n'
    ip netns exec "$ns_a" "$radvd" --nodaemon --config "$workdir/radvd.conf" \
        --pidfile "$workdir/radvd.pid" --logmethod stderr </dev/null >/dev/null \
        2>"$workdir/radvd.log" &
    daemon_pids+=("$!")
    in_site "$ns_host" ip link set "$lan_host" up
    started=$SECONDS
    if wait_until 30 "the LAN host's address and default route" host_ready; then
        echo "      after $((SECONDS - started)) s the host has, by itself:"
        ip netns exec "$ns_host" ip -6 addr show dev "$lan_host" scope global | sed 's/^/        /'
        ip netns exec "$ns_host" ip -6 route show default | sed 's/^/        /'
        lan_command=(ping -6 -n -c 3 -i 0.2 -W 2 -I "$host_address" "$host_b")
        printf '      LAN host# %s\n' "${lan_command[*]}"
        if ip netns exec "$ns_host" timeout --foreground 15 "${lan_command[@]}" 2>&1 |
            sed 's/^/        /'; then
            lan_ok=1
        fi
    fi
fi

step "Stopping both daemons (kill -TERM) and removing the namespaces" \
    "SIGTERM is a clean stop: ferrin logs \"exiting\" and ends with status 0;" \
    "its tun interface disappears with it."
for pid in "${daemon_pids[@]:2}"; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
done
for pid in "$pid_a" "$pid_b"; do
    show kill -TERM "$pid"
done
stopped_ok=1
for pid in "$pid_a" "$pid_b"; do
    wait_until 10 "PID $pid to stop" gone "$pid" || stopped_ok=0
    status=0
    wait "$pid" || status=$?
    echo "      PID $pid ended with status $status"
    [ "$status" -eq 0 ] || stopped_ok=0
done
sed -n 's/^ferrin: ferrin/      site A: ferrin: ferrin/p' "$workdir/site-a.log" | tail -n 1
sed -n 's/^ferrin: ferrin/      site B: ferrin: ferrin/p' "$workdir/site-b.log" | tail -n 1
daemon_pids=()
for ns in "${made_namespaces[@]}"; do
    show ip netns del "$ns"
done
made_namespaces=()

echo
if [ "$ping_ok" -eq 1 ] && [ "$lan_ok" -eq 1 ] && [ "$stopped_ok" -eq 1 ]; then
    echo "Done: IPv6 crossed the 6rd tunnel both ways, from a site and from a LAN host"
    echo "that configured itself, and nothing is left behind."
    exit 0
fi
[ "$ping_ok" -eq 1 ] || echo "FAILED: the ping across the tunnel got no answer." >&2
[ "$lan_ok" -eq 1 ] || echo "FAILED: the LAN host got no address, or its ping no answer." >&2
[ "$stopped_ok" -eq 1 ] || echo "FAILED: a daemon did not stop cleanly." >&2
exit 1
