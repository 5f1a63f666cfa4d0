"""Helpers of the flood and signal-storm tests: two sites of the domain
2001:db8::/32 joined by IPv4, kernel counters read inside a namespace, and a
capture of what the daemon writes into its tun interface.

Site A is the endpoint under test, 192.0.2.1 (2001:db8:c000:201::/64); site B
is its peer, 198.51.100.7 (2001:db8:c633:6407::/64); the relay is
203.0.113.1. Every IPv4 packet A's daemon sends anywhere but to B leaves
through a sink interface and vanishes, so that nothing comes back to A but
what B's daemon sends and what a test sends on purpose.
"""

import contextlib
import ctypes
import os
import socket
import struct
import subprocess
import threading
import time

import netlab

PREFIX = "2001:db8::/32"
RELAY = "203.0.113.1"
A_V4, A_V6 = "192.0.2.1", "2001:db8:c000:201::1"
B_V4, B_V6 = "198.51.100.7", "2001:db8:c633:6407::1"

CLONE_NEWNET = 0x40000000
ETH_P_ALL = 0x0003
SOL_PACKET = 263
PACKET_STATISTICS = 6
PACKET_IGNORE_OUTGOING = 23
SO_RCVBUFFORCE = 33

_libc = ctypes.CDLL(None, use_errno=True)


@contextlib.contextmanager
def entered(namespace):
    """Runs the body in the network namespace (only the calling thread moves,
    and it always moves back). Sockets made inside keep working outside."""
    home = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    try:
        target = os.open("/var/run/netns/%s" % namespace.name, os.O_RDONLY)
        try:
            if _libc.setns(target, CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns")
        finally:
            os.close(target)
        try:
            yield
        finally:
            if _libc.setns(home, CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns back")
    finally:
        os.close(home)


class Site:
    """A namespace with a running daemon (-F, so that its log and statistics
    reach standard error), its tun interface addressed and routed."""

    def __init__(self, lab, v4, v6, extra_options=()):
        self.lab, self.v4, self.v6 = lab, v4, v6
        self.ns = lab.namespace("site")
        self.ns.quiet_ipv6()
        for scope in ("all", "default"):
            self.ns.sysctl("net.ipv4.conf.%s.rp_filter" % scope, 0)
        self.options = list(extra_options)

    def start(self):
        self.tun = netlab.unique_name("tun")
        self.daemon = self.lab.daemon(["-F"] + self.options + [self.tun, PREFIX, RELAY, self.v4],
                                      self.ns)
        self.daemon.wait_stderr("ferrin/1.6 started")
        netlab.wait_for(lambda: self.ns.link_exists(self.tun), what="the tun interface")
        self.ns.run("ip", "addr", "add", self.v6 + "/64", "dev", self.tun, "nodad")
        self.ns.run("ip", "route", "add", PREFIX, "dev", self.tun)

    def ping(self, target, count=3):
        return self.ns.run("ping", "-6", "-n", "-c", str(count), "-i", "0.2", "-W", "5",
                           "-I", self.v6, target, check=False, timeout=60)


def two_sites(lab, a_options=(), b_options=()):
    """Sites A and B joined by a veth that carries IPv4 only; A's default
    route leads into a dummy interface. Both daemons started."""
    a = Site(lab, A_V4, A_V6, a_options)
    b = Site(lab, B_V4, B_V6, b_options)
    va, vb = lab.veth(a.ns, None, b.ns, None)
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
    a.start()
    b.start()
    return a, b


def snmp(ns):
    """/proc/net/snmp of the namespace as {"Ip": {"InDelivers": n, ...}, ...}."""
    lines = ns.run("cat", "/proc/net/snmp").stdout.splitlines()
    table = {}
    for names, values in zip(lines[0::2], lines[1::2]):
        group, names = names.split(":", 1)
        table[group] = dict(zip(names.split(), (int(v) for v in values.split(":", 1)[1].split())))
    return table


def raw_socket(ns, v4, protocol=41):
    """(receive queue in bytes, drops) of the namespace's raw socket bound
    to v4 for protocol, from /proc/net/raw."""
    local = "%08X:%04X" % (struct.unpack("<I", socket.inet_aton(v4))[0], protocol)
    found = []
    for line in ns.run("cat", "/proc/net/raw").stdout.splitlines()[1:]:
        fields = line.split()
        if fields[1] == local:
            found.append((int(fields[4].split(":")[1], 16), int(fields[-1])))
    if len(found) != 1:
        raise AssertionError("expected one raw socket on %s, found %r" % (local, found))
    return found[0]


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


class TunCapture:
    """Collects, on a thread, every IPv6 packet the daemon writes into its
    tun interface (the interface's incoming side; what the host sends into
    the tunnel is ignored by the kernel before it reaches this socket)."""

    def __init__(self, ns, ifname):
        with entered(ns):
            self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
        self.sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 8 << 20)
        self.sock.setsockopt(SOL_PACKET, PACKET_IGNORE_OUTGOING, 1)
        self.sock.bind((ifname, ETH_P_ALL))
        self.sock.settimeout(0.1)
        self.packets = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        # Once asked to stop, reads on until the queue is empty.
        while True:
            try:
                data, address = self.sock.recvfrom(65536)
            except socket.timeout:
                if self._stop.is_set():
                    return
                continue
            except OSError:
                return
            self.packets.append((address[1], data))

    def close(self):
        """Stops the thread; returns (packets seen, packets the kernel dropped)."""
        if self.sock.fileno() < 0:
            return None
        self._stop.set()
        self._thread.join(timeout=10)
        packets, drops = struct.unpack("II", self.sock.getsockopt(SOL_PACKET, PACKET_STATISTICS, 8))
        self.sock.close()
        return packets, drops


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
