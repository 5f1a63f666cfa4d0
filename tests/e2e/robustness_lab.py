# SPDX-License-Identifier: BSD-2-Clause
"""Helpers of the flood and signal-storm tests: two sites of the domain
2001:db8::/32 joined by IPv4 (sites.Site), kernel counters read inside a
namespace, and helper processes started in a namespace.

Site A is the endpoint under test, 192.0.2.1 (2001:db8:c000:201::/64); site B
is its peer, 198.51.100.7 (2001:db8:c633:6407::/64); the relay is
203.0.113.1. Every IPv4 packet A's daemon sends anywhere but to B leaves
through a sink interface and vanishes, so that nothing comes back to A but
what B's daemon sends and what a test sends on purpose.
"""

import os
import socket
import struct
import subprocess

import netlab
from sites import Site

A_V4, A_V6 = "192.0.2.1", "2001:db8:c000:201::1"
B_V4, B_V6 = "198.51.100.7", "2001:db8:c633:6407::1"


def two_sites(lab, a_options=(), b_options=(), a_via=None, start_a=True):
    """Sites A and B joined by a veth that carries IPv4 only (a.link, b.link);
    A's default route leads into a sink interface. Both daemons started, A's
    through a_via (see sites.start_daemon), unless start_a is false."""
    a = Site(lab, A_V4, A_V6, options=a_options)
    b = Site(lab, B_V4, B_V6, options=b_options)
    for site in (a, b):
        site.ns.accept_spoofed_sources()
    va, vb = lab.veth(a.ns, None, b.ns, None)
    a.link, b.link = va, vb
    a.ns.run("ip", "addr", "add", A_V4 + "/32", "dev", va)
    b.ns.run("ip", "addr", "add", B_V4 + "/32", "dev", vb)
    a.ns.run("ip", "route", "add", B_V4 + "/32", "dev", va)
    b.ns.run("ip", "route", "add", A_V4 + "/32", "dev", vb)
    # The sink: a veth without ARP, so that frames leave at once addressed
    # to the sink's own MAC; its peer, in A too, drops them as meant for
    # another host. No neighbour lookup can fail, and no error comes back.
    a.sink, sink_peer = lab.veth(a.ns, None, a.ns, None)
    a.ns.run("ip", "link", "set", a.sink, "arp", "off")
    a.ns.run("ip", "route", "add", "default", "dev", a.sink)
    if start_a:
        a.start(a_via)
    b.start()
    return a, b


def assert_forwarding(testcase, a, b):
    """Three pings each way between the sites must all be answered."""
    for site, peer in ((a, b), (b, a)):
        result = site.ping(peer.v6)
        testcase.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        testcase.assertIn("3 packets transmitted, 3 received", result.stdout)


def snmp(ns):
    """/proc/net/snmp of the namespace as {"Ip": {"InDelivers": n, ...}, ...}."""
    lines = ns.run("cat", "/proc/net/snmp").stdout.splitlines()
    table = {}
    for names, values in zip(lines[0::2], lines[1::2]):
        group, names = names.split(":", 1)
        table[group] = dict(zip(names.split(), (int(v) for v in values.split(":", 1)[1].split())))
    return table


def raw_socket(ns, v4, pid, protocol=41):
    """(receive queue in bytes, drops) of the raw socket that process pid
    receives on: of its raw sockets bound to v4 for protocol (from
    /proc/net/raw), the one it opened first. The second, which only sends
    datagrams that need fragments, takes nothing in."""
    local = "%08X:%04X" % (struct.unpack("<I", socket.inet_aton(v4))[0], protocol)
    found = {}
    for line in ns.run("cat", "/proc/net/raw").stdout.splitlines()[1:]:
        fields = line.split()
        if fields[1] == local:
            found[fields[9]] = (int(fields[4].split(":")[1], 16), int(fields[-1]))
    descriptors = {}
    for fd in os.listdir("/proc/%d/fd" % pid):
        target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        if target.startswith("socket:[") and target[8:-1] in found:
            descriptors[int(fd)] = target[8:-1]
    if not descriptors:
        raise AssertionError("no raw socket of process %d on %s among %r" % (pid, local, found))
    return found[descriptors[min(descriptors)]]


def link_statistics(ns, name):
    """The kernel's packet counters of an interface: for a tun interface,
    tx_packets counts the frames the daemon has read and rx_packets those it
    has written."""
    counters = ("rx_packets", "tx_packets", "rx_dropped", "tx_dropped")
    paths = ["/sys/class/net/%s/statistics/%s" % (name, c) for c in counters]
    values = ns.run("cat", *paths).stdout.split()
    return dict(zip(counters, (int(v) for v in values)))


def vm_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS for %d" % pid)


def build_sender(lab):
    """Compiles flood_sender.c into the lab's folder; returns its path."""
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "flood_sender.c")
    binary = os.path.join(lab.tmpdir, "flood_sender")
    netlab.run(["cc", "-O2", "-Wall", "-Wextra", "-Werror", "-o", binary, source], timeout=120)
    return binary


def start_process(testcase, ns, argv):
    """A helper process in a namespace, output captured to pipes; killed by
    its PID when the test ends, should it still run."""
    process = subprocess.Popen(ns.command(*argv), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               stdin=subprocess.DEVNULL, text=True)

    def end():
        if process.poll() is None:
            process.kill()
            process.communicate(timeout=10)
    testcase.addCleanup(end)
    return process


def finish(process, timeout):
    """Waits for a helper process; its (status, standard output, standard error)."""
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        out, err = process.communicate(timeout=10)
        raise AssertionError("%r did not end within %ss" % (process.args, timeout))
    return process.returncode, out, err


def settle(predicate, timeout=20.0, what="counters to settle"):
    """Waits until predicate() gives the same value twice in a row, polled
    every 0.1 s; returns that value."""
    previous = [object()]

    def same():
        value = predicate()
        stable = value == previous[0]
        previous[0] = value
        return stable
    netlab.wait_for(same, timeout, interval=0.1, what=what)
    return previous[0]
