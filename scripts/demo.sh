#!/bin/bash
# SPDX-License-Identifier: BSD-2-Clause
# Shows ferrin at work: a small 6rd domain made of two sites, each in its own
# network namespace with its own ferrin, and a ping that crosses the tunnel
# from one site's delegated IPv6 prefix to the other's; then a LAN host
# behind site A, which runs nothing but the kernel's SLAAC, gets its address
# and route from router advertisements and pings site B too.
#
# Run as root on Debian 12:   ./scripts/demo.sh
# It installs what is missing and builds ferrin into build/ first. With
# FERRIN_BINARY=/path/to/ferrin it uses that binary and skips both.
#
# Everything it makes (namespaces, the veth links, the tun interfaces, the two
# daemons and radvd, its temporary folder) is removed when it ends, also when it is
# interrupted. Every wait has a time limit. Exit status 0 when the ping got
# its answers, non-zero otherwise.
# shellcheck disable=SC2317  # functions called from traps and wait_until
set -euo pipefail
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
workdir=$(mktemp -d /tmp/ferrin-demo.XXXXXX)

made_namespaces=()
daemon_pids=()
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

# Prints a command run inside a site's namespace, then runs it there.
in_site() {
    local ns=$1
    shift
    printf '      %s# %s\n' "$(site_of "$ns")" "$*"
    ip netns exec "$ns" "$@"
}

site_of() {
    case "$1" in
    "$ns_a") echo "site A" ;;
    "$ns_b") echo "site B" ;;
    *) echo "LAN host" ;;
    esac
}

alive() {
    # A process that has ended but not yet been reaped counts as gone.
    local state
    state=$(awk '{ sub(/.*\) /, ""); print $1 }' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
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

cleanup() {
    local status=$?
    trap - EXIT INT TERM
    local pid ns
    for pid in "${daemon_pids[@]}"; do
        if alive "$pid"; then
            kill -TERM "$pid" 2>/dev/null || true
            wait_until 5 "ferrin (PID $pid) to stop" gone "$pid" 2>/dev/null ||
                kill -KILL "$pid" 2>/dev/null || true
        fi
        wait "$pid" 2>/dev/null || true
    done
    for ns in "${made_namespaces[@]}"; do
        ip netns del "$ns" 2>/dev/null || true
    done
    rm -rf "$workdir"
    exit "$status"
}
trap cleanup EXIT
trap 'echo; echo "interrupted: removing what the demo made"; exit 130' INT
trap 'echo; echo "terminated: removing what the demo made"; exit 143' TERM

# The IPv6 prefix a site gets: the 6rd prefix followed by the site's own
# IPv4 address (no -r, so all 32 bits of it), as ferrin derives it.
delegated_prefix() {
    local a b c d
    IFS=. read -r a b c d <<<"$1"
    printf '2001:db8:%x:%x::/64' $((a * 256 + b)) $((c * 256 + d))
}
site_prefix_a=$(delegated_prefix "$v4_a")
site_prefix_b=$(delegated_prefix "$v4_b")
host_a=${site_prefix_a%/64}1
host_b=${site_prefix_b%/64}1

if [ "$(id -u)" -ne 0 ]; then
    echo "demo.sh: run me as root (I make network namespaces and tun interfaces)" >&2
    exit 1
fi

echo "ferrin demonstration: two sites of one 6rd domain talk IPv6 over IPv4."
echo "6rd prefix $prefix, border relay $relay,"
echo "site A at $v4_a, site B at $v4_b."

if [ -n "${FERRIN_BINARY:-}" ]; then
    binary=$FERRIN_BINARY
    step "Using the binary named by FERRIN_BINARY (no package installation, no build)"
else
    binary=build/ferrin
    step "Installing the Debian packages that are missing, then building ferrin into build/"
    show scripts/install-deps.sh
    printf '      # cmake -S . -B build && cmake --build build --target ferrin\n'
    if ! { cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
        cmake --build build --target ferrin -j "$(nproc 2>/dev/null || echo 2)"; } \
        >"$workdir/build.log" 2>&1; then
        tail -n 40 "$workdir/build.log"
        echo "demo.sh: the build failed" >&2
        exit 1
    fi
fi

step "Checking the binary: -V prints its name and version"
[ -x "$binary" ] || { echo "demo.sh: $binary is not an executable" >&2; exit 1; }
printf '      # %s -V\n' "$binary"
echo "      $("$binary" -V || true)"

step "Making the two sites: one network namespace each, joined by a veth link" \
    "Each site gets its own IPv4 address, and a route to the other one, as an" \
    "IPv4 network would give it. This is the IPv4 path the tunnel rides on."
for ns in "$ns_a" "$ns_b"; do
    show ip netns add "$ns"
    made_namespaces+=("$ns")
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
    printf '      %s# %s -F -d %s %s %s %s 2>%s &\n' "$(site_of "$ns")" "$binary" \
        "$tun" "$prefix" "$relay" "$own" "${log##*/}"
    ip netns exec "$ns" "$binary" -F -d "$tun" "$prefix" "$relay" "$own" \
        </dev/null >/dev/null 2>"$log" &
    daemon_pids+=("$!")
}
site_ready() {
    local ns=$1 log=$2 pid=$3
    if ! alive "$pid"; then
        echo "      ferrin in $(site_of "$ns") stopped during start-up:" >&2
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
    echo "      site ${site^^}: $(grep 'Ipkts ' "$log" | tail -n 1)"
done
echo "      trace lines of the ping (out: sent into IPv4, in: delivered to $tun):"
grep -h -E '^(out |in  )' "$workdir/site-a.log" | sed 's/^/        site A: /' | head -n 6
grep -h -E '^(out |in  )' "$workdir/site-b.log" | sed 's/^/        site B: /' | head -n 6

step "A LAN behind site A: router advertisements, forwarding, a host with SLAAC only" \
    "Site A's /64 goes to its LAN interface, radvd advertises it there as" \
    "ferrin-6rd's radvd unit does (valid 5400 s, preferred 2700 s, router" \
    "lifetime 2700 s, a route to the delegated prefix), and forwarding is on." \
    "The host, in a namespace of its own, runs nothing but the kernel's SLAAC."
lan_ok=0
radvd=$(PATH=$PATH:/usr/sbin:/sbin command -v radvd || true)
host_address() {
    ip netns exec "$ns_host" ip -6 -o addr show dev "$lan_host" scope global 2>/dev/null |
        awk '!/tentative/ { sub(/\/64/, "", $4); print $4; exit }'
}
host_ready() {
    [ -n "$(host_address)" ] &&
        ip netns exec "$ns_host" ip -6 route show default | grep -q 'proto ra'
}
if [ -z "$radvd" ]; then
    echo "      radvd is not installed (scripts/install-deps.sh installs it)" >&2
else
    show ip netns add "$ns_host"
    made_namespaces+=("$ns_host")
    ip netns exec "$ns_host" ip link set lo up
    show ip link add "$lan_a" netns "$ns_a" type veth peer name "$lan_host" netns "$ns_host"
    # The LAN interface needs the link-local address that radvd sends from.
    ip netns exec "$ns_a" sysctl -q -w "net.ipv6.conf.$lan_a.addr_gen_mode=0"
    in_site "$ns_a" ip link set "$lan_a" up
    in_site "$ns_a" ip -6 addr add "${site_prefix_a%/64}1/64" dev "$lan_a"
    in_site "$ns_a" sysctl -q -w net.ipv6.conf.all.forwarding=1
    cat >"$workdir/radvd.conf" <<RADVD
interface $lan_a {
    AdvSendAdvert on;
    IgnoreIfMissing on;
    AdvDefaultLifetime 2700;
    prefix $site_prefix_a {
        AdvOnLink on;
        AdvAutonomous on;
        AdvValidLifetime 5400;
        AdvPreferredLifetime 2700;
    };
    route $site_prefix_a {
        AdvRouteLifetime 2700;
    };
};
RADVD
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
        lan_command=(ping -6 -n -c 3 -i 0.2 -W 2 -I "$(host_address)" "$host_b")
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
