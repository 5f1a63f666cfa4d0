#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""ferrin against the I/O floor. Started by run.sh; see README.md.

A topology is two network namespaces, a site (where a forwarder and its
tunnel interface live) and a peer (the far end of a veth pair). The run
makes two identical topologies, A and B, and removes everything it made at
the end, also when interrupted.

  outbound: udp_blaster in the site sends IPv6 UDP into the tunnel interface
            towards 2001:db8:cb00:7109::1, another site of the domain; the
            forwarder sends it in IPv4 to 203.0.113.9, routed through a
            neighbour that does not exist on the peer's side, so the peer
            counts the frame (veth rx_packets) and drops it at once.
  inbound:  p41_blaster in the peer sends protocol-41 datagrams from
            198.51.100.7 carrying 2001:db8:c633:6407::1 ->
            2001:db8:c000:201::10; the forwarder writes them to the tunnel
            interface, whose rx_packets counts them; the site does not
            forward IPv6, so the kernel drops them there without a reply.

Rates are measured twice:
  alone:        one forwarder at a time in topology A, ferrin and the floor
                alternating, each started afresh: absolute rates;
  side by side: ferrin in one topology and the floor in the other, both on
                the forwarder CPU at once, each with its own load generator
                on the other CPU. The scheduler alternates the two every few
                milliseconds, so whatever else the machine does hits both
                alike, and the ratio of what they forward in the same window
                is the overhead ferrin adds.
"""

import argparse
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

# The one bounded wait of the project's test tools.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from netlab import wait_for  # noqa: E402

PREFIX = "2001:db8::/32"
RELAY = "203.0.113.1"
SITE_V4 = "192.0.2.1"
PEER_V4 = "192.0.2.2"
GHOST_V4 = "192.0.2.99"            # next hop of 203.0.113.0/24: a MAC nobody has
GHOST_MAC = "02:00:00:00:00:63"
OTHER_SITE_V4 = "203.0.113.9"
OTHER_SITE_V6 = "2001:db8:cb00:7109::1"
SITE_V6 = "2001:db8:c000:201::1"   # inside the delegated prefix 2001:db8:c000:201::/64
PEER_SITE_V4 = "198.51.100.7"
PEER_SITE_V6 = "2001:db8:c633:6407::1"
INBOUND_DST_V6 = "2001:db8:c000:201::10"

SMALL_PAYLOAD = 64                 # UDP payload: IPv6 packet of 112 bytes
SMALL_PACKET = 40 + 8 + SMALL_PAYLOAD
LARGE_PACKET = 1280                # IPv6 packet, the tunnel interface's MTU

# (name, direction, IPv6 packet length)
CASES = [
    ("out-small", "out", SMALL_PACKET),
    ("out-1280", "out", LARGE_PACKET),
    ("in-small", "in", SMALL_PACKET),
    ("in-1280", "in", LARGE_PACKET),
]
# ferrin as it is, ferrin with its fast path, and the floor they are measured against.
KINDS = ("ferrin", "batch", "floor")
FERRINS = ("ferrin", "batch")
BATCH = "32"
LABEL = {"ferrin": "ferrin", "batch": "ferrin -b " + BATCH, "floor": "floor"}

# The system calls of one packet, by the names strace shows: glibc's select()
# is the pselect6 system call and recv() is recvfrom.
# With -b the calls are of a batch: reads until the device has no more (the
# last one fails with EAGAIN), one sendmmsg, one recvmmsg, a write per
# packet (writev: the device's headers apart from the packet).
ALLOWED_CALLS = {("ferrin", "out"): {"select", "pselect6", "read", "sendto"},
                 ("ferrin", "in"): {"select", "pselect6", "recv", "recvfrom", "write"},
                 ("batch", "out"): {"select", "pselect6", "read", "sendmmsg"},
                 ("batch", "in"): {"select", "pselect6", "recvmmsg", "writev"}}
# The calls that move one packet each: successful calls only.
PACKET_CALL = {("ferrin", "out"): ("read",), ("ferrin", "in"): ("recv", "recvfrom"),
               ("batch", "out"): ("read",), ("batch", "in"): ("writev",)}


class Interrupted(Exception):
    pass


def on_signal(signum, frame):
    # The first signal ends the run; later ones must not cut the clean-up short.
    for other in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(other, signal.SIG_IGN)
    raise Interrupted("signal %d" % signum)


def run(cmd, check=True, timeout=60):
    result = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    if check and result.returncode != 0:
        raise RuntimeError("%s failed (%d): %s%s" % (" ".join(cmd), result.returncode,
                                                       result.stdout, result.stderr))
    return result


def text_of(path):
    with open(path, "rb") as f:
        return f.read().decode("utf-8", "replace")


def interface_counters(pid):
    """{interface: (rx_packets, rx_drop, tx_packets, tx_drop)} in the namespace of pid."""
    counters = {}
    with open("/proc/%d/net/dev" % pid) as f:
        for line in f.readlines()[2:]:
            name, values = line.split(":", 1)
            v = [int(x) for x in values.split()]
            counters[name.strip()] = (v[1], v[3], v[9], v[11])
    return counters


def raw_drops(pid):
    """Datagrams dropped at the raw sockets of the namespace of pid (full receive queue)."""
    total = 0
    with open("/proc/%d/net/raw" % pid) as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if fields:
                total += int(fields[-1])
    return total


def cpu_seconds(pid):
    """CPU time the process has run so far, user and kernel, in seconds."""
    with open("/proc/%d/schedstat" % pid) as f:
        return int(f.read().split()[0]) / 1e9


def proc_status(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return None


def median_spread(values):
    values = sorted(values)
    if not values:
        return None
    result = {"median": statistics.median(values), "min": values[0], "max": values[-1],
              "count": len(values)}
    if len(values) >= 4:
        q = statistics.quantiles(values, n=4, method="inclusive")
        result["q1"], result["q3"] = q[0], q[2]
    return result


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


class Runner:
    """The processes and log files of one run."""

    def __init__(self, keep):
        self.keep = keep
        self.processes = []
        self.tmpdir = tempfile.mkdtemp(prefix="ferrin-bench-")
        self.serial = 0

    def spawn(self, cmd, label):
        self.serial += 1
        out_path = os.path.join(self.tmpdir, "%s-%d.out" % (label, self.serial))
        err_path = os.path.join(self.tmpdir, "%s-%d.err" % (label, self.serial))
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            proc = subprocess.Popen(cmd, stdout=out, stderr=err, stdin=subprocess.DEVNULL)
        proc.out_path, proc.err_path = out_path, err_path
        self.processes.append(proc)
        return proc

    def end(self, proc, signum=signal.SIGTERM, timeout=10.0):
        """Stops a process this run started, by its PID; returns its exit status."""
        if proc.poll() is None:
            proc.send_signal(signum)
            try:
                proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout=10)
        if proc in self.processes:
            self.processes.remove(proc)
        return proc.returncode

    def cleanup(self):
        for proc in reversed(list(self.processes)):
            try:
                self.end(proc, signal.SIGTERM, timeout=5)
            except Exception:
                pass
        if self.keep:
            print("logs kept in %s" % self.tmpdir)
        else:
            shutil.rmtree(self.tmpdir, ignore_errors=True)


class Topology:
    """A site namespace with its forwarder and a peer namespace, joined by veth."""

    def __init__(self, runner, args, name):
        self.runner = runner
        self.args = args
        self.name = name
        self.site = name + "s"
        self.peer = name + "p"
        self.site_if = name + "vs"
        self.peer_if = name + "vp"
        self.tun = name + "t"
        self.namespaces = []
        self.blaster_core, self.forwarder_core = args.cores.split(",")

    @staticmethod
    def in_ns(ns, *cmd):
        return ["ip", "netns", "exec", ns] + list(cmd)

    def sysctl(self, ns, key, value):
        run(self.in_ns(ns, "sysctl", "-q", "-w", "%s=%s" % (key, value)))

    def setup(self):
        for ns in (self.site, self.peer):
            run(["ip", "netns", "add", ns])
            self.namespaces.append(ns)
            run(["ip", "-n", ns, "link", "set", "lo", "up"])
        # No IPv6 chatter anywhere but on the tunnel interface, and no IPv6
        # forwarding in the site: delivered packets end at its tunnel interface.
        for ns in (self.site, self.peer):
            for scope in ("all", "default"):
                self.sysctl(ns, "net.ipv6.conf.%s.disable_ipv6" % scope, 1)
                self.sysctl(ns, "net.ipv4.conf.%s.rp_filter" % scope, 0)
        run(["ip", "link", "add", self.site_if, "netns", self.site, "type", "veth",
             "peer", "name", self.peer_if, "netns", self.peer])
        for scope in ("all", "default"):
            self.sysctl(self.site, "net.ipv6.conf.%s.disable_ipv6" % scope, 0)
            self.sysctl(self.site, "net.ipv6.conf.%s.forwarding" % scope, 0)
            self.sysctl(self.site, "net.ipv6.conf.%s.accept_dad" % scope, 0)
            self.sysctl(self.site, "net.ipv6.conf.%s.dad_transmits" % scope, 0)
            self.sysctl(self.site, "net.ipv6.conf.%s.router_solicitations" % scope, 0)
        self.sysctl(self.site, "net.ipv6.conf.default.addr_gen_mode", 1)
        self.sysctl(self.site, "net.ipv6.conf.%s.disable_ipv6" % self.site_if, 1)

        run(["ip", "-n", self.site, "addr", "add", SITE_V4 + "/24", "dev", self.site_if])
        run(["ip", "-n", self.peer, "addr", "add", PEER_V4 + "/24", "dev", self.peer_if])
        run(["ip", "-n", self.site, "link", "set", self.site_if, "up"])
        run(["ip", "-n", self.peer, "link", "set", self.peer_if, "up"])
        run(["ip", "-n", self.site, "neigh", "add", GHOST_V4, "lladdr", GHOST_MAC, "dev",
             self.site_if, "nud", "permanent"])
        run(["ip", "-n", self.site, "route", "add", "203.0.113.0/24", "via", GHOST_V4])
        run(["ip", "-n", self.site, "route", "add", "198.51.100.0/24", "via", PEER_V4])
        # One sleeping process per namespace: its /proc/PID/net shows that
        # namespace's counters without starting a reader per sample.
        bound = str(int(self.args.max_seconds))
        self.site_holder = self.runner.spawn(self.in_ns(self.site, "sleep", bound), "holder")
        self.peer_holder = self.runner.spawn(self.in_ns(self.peer, "sleep", bound), "holder")
        own = os.readlink("/proc/self/ns/net")
        for holder in (self.site_holder, self.peer_holder):
            wait_for(lambda: os.readlink("/proc/%d/ns/net" % holder.pid) != own, 10,
                     what="a process in the namespaces of %s" % self.name)

    def remove(self):
        for ns in reversed(self.namespaces):
            subprocess.run(["ip", "netns", "del", ns], capture_output=True, timeout=30)
        self.namespaces = []

    # ----- forwarders -----

    def start_forwarder(self, kind, preload=None):
        pin = ["taskset", "-c", self.forwarder_core]
        if kind in FERRINS:
            cmd = [self.args.ferrin, "-F"] + (["-b", BATCH] if kind == "batch" else []) + \
                  [self.tun, PREFIX, RELAY, SITE_V4]
            ready = "started"
        else:
            cmd = [os.path.join(self.args.tools, "floor_forwarder"), self.tun, SITE_V4,
                   OTHER_SITE_V4]
            ready = "ready"
        if preload:
            cmd = ["env", "LD_PRELOAD=" + preload] + cmd
        proc = self.runner.spawn(self.in_ns(self.site, *(pin + cmd)), kind)
        wait_for(lambda: ready in text_of(proc.err_path) or proc.poll() is not None, 10,
                 what="%s to start" % kind)
        if proc.poll() is not None:
            raise RuntimeError("%s ended at start: %s" % (kind, text_of(proc.err_path)))
        run(["ip", "-n", self.site, "addr", "add", SITE_V6 + "/64", "dev", self.tun, "nodad"])
        run(["ip", "-n", self.site, "-6", "route", "add", "2001:db8::/32", "dev", self.tun])
        return proc

    def stop_forwarder(self, proc):
        """Stops a forwarder; returns its peak resident memory in KiB."""
        hwm = proc_status(proc.pid, "VmHWM")
        status = self.runner.end(proc)
        if status != 0:
            raise RuntimeError("forwarder ended with status %s: %s"
                               % (status, text_of(proc.err_path)))
        return hwm

    # ----- load -----

    def start_blaster(self, direction, length, seconds):
        pin = ["taskset", "-c", self.blaster_core]
        tools = self.args.tools
        if direction == "out":
            cmd = self.in_ns(self.site, *(pin + [os.path.join(tools, "udp_blaster"),
                                                  OTHER_SITE_V6, "9", str(length - 48),
                                                  "%.2f" % seconds]))
        else:
            cmd = self.in_ns(self.peer, *(pin + [os.path.join(tools, "p41_blaster"),
                                                  PEER_SITE_V4, SITE_V4, PEER_SITE_V6,
                                                  INBOUND_DST_V6, str(length),
                                                  "%.2f" % seconds]))
        return self.runner.spawn(cmd, "blaster")

    def sample(self, direction):
        """(packets forwarded, packets lost before the forwarder) so far."""
        if direction == "out":
            far = interface_counters(self.peer_holder.pid)[self.peer_if][0]
            lost = interface_counters(self.site_holder.pid)[self.tun][3]
        else:
            far = interface_counters(self.site_holder.pid)[self.tun][0]
            lost = raw_drops(self.site_holder.pid)
        return far, lost

    def wait_flowing(self, direction, blaster):
        first = self.sample(direction)[0]
        wait_for(lambda: self.sample(direction)[0] > first or blaster.poll() is not None,
                 10, what="traffic to flow")
        if blaster.poll() is not None:
            raise RuntimeError("load generator ended: %s%s"
                               % (text_of(blaster.out_path), text_of(blaster.err_path)))

    def drain(self, direction):
        """Waits until the forwarder has emptied its queues."""
        last = [self.sample(direction)[0]]

        def settled():
            now = self.sample(direction)[0]
            if now == last[0]:
                return True
            last[0] = now
            return False

        wait_for(settled, 10, what="queues to drain", interval=0.05)


class TcpPair:
    """Two sites of the domain back to back on one veth, each with its
    forwarder and tunnel interface: iperf3 in one sends TCP to iperf3 in the
    other through both forwarders."""

    SITES = (("192.0.2.1", "2001:db8:c000:201::1"), ("192.0.2.77", "2001:db8:c000:24d::1"))

    def __init__(self, runner, args, name):
        self.runner, self.args, self.name = runner, args, name
        self.ns = (name + "s", name + "p")
        self.tun = (name + "t1", name + "t2")
        self.namespaces = []
        self.blaster_core, self.forwarder_core = args.cores.split(",")

    def setup(self):
        for ns in self.ns:
            run(["ip", "netns", "add", ns])
            self.namespaces.append(ns)
            run(["ip", "-n", ns, "link", "set", "lo", "up"])
            for scope in ("all", "default"):
                run(Topology.in_ns(ns, "sysctl", "-q", "-w",
                                   "net.ipv6.conf.%s.accept_dad=0" % scope))
                run(Topology.in_ns(ns, "sysctl", "-q", "-w",
                                   "net.ipv6.conf.%s.router_solicitations=0" % scope))
        run(["ip", "link", "add", self.name + "v1", "netns", self.ns[0], "type", "veth",
             "peer", "name", self.name + "v2", "netns", self.ns[1]])
        for i, ns in enumerate(self.ns):
            veth = self.name + "v%d" % (i + 1)
            run(["ip", "-n", ns, "addr", "add", self.SITES[i][0] + "/24", "dev", veth])
            run(["ip", "-n", ns, "link", "set", veth, "up"])

    def remove(self):
        for ns in reversed(self.namespaces):
            subprocess.run(["ip", "netns", "del", ns], capture_output=True, timeout=30)
        self.namespaces = []

    def start_forwarders(self, kind):
        procs = []
        for i, ns in enumerate(self.ns):
            own, other = self.SITES[i][0], self.SITES[1 - i][0]
            if kind in FERRINS:
                cmd = [self.args.ferrin, "-F"] + (["-b", BATCH] if kind == "batch" else []) + \
                      [self.tun[i], PREFIX, RELAY, own]
                ready = "started"
            else:
                cmd = [os.path.join(self.args.tools, "floor_forwarder"), self.tun[i], own, other]
                ready = "ready"
            proc = self.runner.spawn(Topology.in_ns(ns, "taskset", "-c", self.forwarder_core,
                                                    *cmd), "tcp-" + kind)
            procs.append(proc)
            wait_for(lambda: ready in text_of(proc.err_path) or proc.poll() is not None, 10,
                     what="%s to start" % kind)
            if proc.poll() is not None:
                raise RuntimeError("%s ended at start: %s" % (kind, text_of(proc.err_path)))
            run(["ip", "-n", ns, "addr", "add", self.SITES[i][1] + "/64", "dev", self.tun[i],
                 "nodad"])
            run(["ip", "-n", ns, "-6", "route", "add", "2001:db8::/32", "dev", self.tun[i]])
        return procs

    def transfer(self, seconds):
        """iperf3 for the given time: (Mbit/s received, retransmits, raw socket drops)."""
        pin = ["taskset", "-c", self.blaster_core]
        drops = [raw_drops_in(ns) for ns in self.ns]
        server = self.runner.spawn(Topology.in_ns(self.ns[1], *(pin + [
            "iperf3", "-s", "-1", "--forceflush", "-B", self.SITES[1][1]])),
            "iperf3-server")
        try:
            wait_for(lambda: "listening" in text_of(server.out_path)
                     or server.poll() is not None, 10, what="iperf3 to listen")
            client = run(Topology.in_ns(self.ns[0], *(pin + [
                "iperf3", "-c", self.SITES[1][1], "-B", self.SITES[0][1], "-J",
                "-t", "%g" % seconds])), timeout=seconds + 60)
        finally:
            self.runner.end(server)
        result = json.loads(client.stdout)["end"]
        dropped = sum(raw_drops_in(ns) - d for ns, d in zip(self.ns, drops))
        return (result["sum_received"]["bits_per_second"] / 1e6,
                result["sum_sent"].get("retransmits", 0), dropped)


def raw_drops_in(ns):
    out = run(Topology.in_ns(ns, "cat", "/proc/net/raw")).stdout
    return sum(int(line.split()[-1]) for line in out.splitlines()[1:] if line.split())


class Window:
    """Counters of one forwarder over one measurement window."""

    def __init__(self, topology, direction, forwarder):
        self.topology, self.direction, self.forwarder = topology, direction, forwarder
        self.start = self.read()

    def read(self):
        far, lost = self.topology.sample(self.direction)
        return far, lost, cpu_seconds(self.forwarder.pid), time.monotonic()

    def close(self, length):
        f0, l0, c0, t0 = self.start
        f1, l1, c1, t1 = self.read()
        packets, lost, cpu, wall = f1 - f0, l1 - l0, c1 - c0, t1 - t0
        pps = packets / wall
        return {"pps": pps, "gbps": pps * length * 8 / 1e9, "packets": packets,
                "lost_before": lost, "lost_share": lost / (lost + packets) if lost + packets
                else 0.0, "seconds": wall, "cpu_share": cpu / wall,
                "pps_cpu": packets / cpu if cpu > 0 else 0.0}


class Bench:
    def __init__(self, args):
        self.args = args
        tag = os.environ.get("BENCH_TAG") or "fb%d" % (os.getpid() % 100000)
        self.runner = Runner(args.keep)
        self.a = Topology(self.runner, args, tag + "a")
        self.b = Topology(self.runner, args, tag + "b")
        self.c = Topology(self.runner, args, tag + "c")
        self.tcp = TcpPair(self.runner, args, tag + "d")
        self.tag = tag
        self.results = {"cases": {name: {} for name, _, _ in CASES},
                        "cores": {"load generator": self.a.blaster_core,
                                  "forwarder": self.a.forwarder_core}}
        self.hwm = {kind: 0 for kind in KINDS}

    def blast(self, topology, direction, length, seconds, forwarder, settle=0.2):
        """One load generator against one forwarder: figures over a window
        of the given length, opened once traffic flows."""
        blaster = topology.start_blaster(direction, length, seconds + 5.0)
        try:
            topology.wait_flowing(direction, blaster)
            time.sleep(settle)
            window = Window(topology, direction, forwarder)
            time.sleep(seconds)
            m = window.close(length)
        finally:
            self.runner.end(blaster)
        topology.drain(direction)
        return m

    # ----- rates -----

    def phase_alone(self):
        a = self.args
        print("alone: each forwarder by itself in turn, %d round(s) of %.1f s per case"
              % (a.rounds, a.seconds), flush=True)
        figures = {name: {kind: [] for kind in KINDS} for name, _, _ in CASES}
        for r in range(a.rounds):
            line = ["  round %d, ferrin/floor, ferrin -b %s/floor:" % (r + 1, BATCH)]
            for index, (name, direction, length) in enumerate(CASES):
                shift = (r + index) % len(KINDS)
                order = KINDS[shift:] + KINDS[:shift]
                got = {}
                for kind in order:
                    proc = self.a.start_forwarder(kind)
                    got[kind] = self.blast(self.a, direction, length, a.seconds, proc)
                    self.hwm[kind] = max(self.hwm[kind], self.a.stop_forwarder(proc) or 0)
                    if got[kind]["packets"] == 0:
                        raise RuntimeError("%s forwarded nothing in %s" % (kind, name))
                    figures[name][kind].append(got[kind])
                line.append("%s %s" % (name, " ".join("%.3f" % (got[k]["pps"] / got["floor"]["pps"])
                                                       for k in FERRINS)))
            print(" ".join(line), flush=True)
        for name, _, _ in CASES:
            f = figures[name]
            self.results["cases"][name]["alone"] = {
                "pps": {k: median_spread([m["pps"] for m in f[k]]) for k in KINDS},
                "pps_per_cpu_second": {k: median_spread([m["pps_cpu"] for m in f[k]])
                                       for k in KINDS},
                "cpu_share": {k: statistics.median(m["cpu_share"] for m in f[k]) for k in KINDS},
                "lost_share": {k: statistics.median(m["lost_share"] for m in f[k]) for k in KINDS},
                "ratio": {k: median_spread([x["pps"] / y["pps"]
                                            for x, y in zip(f[k], f["floor"])]) for k in FERRINS},
                "ratio_per_cpu_second": {k: median_spread([x["pps_cpu"] / y["pps_cpu"]
                                                           for x, y in zip(f[k], f["floor"])])
                                         for k in FERRINS},
            }

    def phase_side_by_side(self):
        a = self.args
        print("side by side: ferrin, ferrin -b %s, the floor and a CPU-bound ballast at once on "
              "CPU %s, "
              "%d round(s) of %d window(s) of %.1f s per case"
              % (BATCH, self.a.forwarder_core, a.pair_rounds, a.pair_windows, a.pair_seconds),
              flush=True)
        windows = {name: [] for name, _, _ in CASES}
        for r in range(a.pair_rounds):
            # Which topology each forwarder gets turns from round to round.
            topologies = (self.a, self.b, self.c)
            places = {kind: topologies[(i + r) % len(topologies)] for i, kind in enumerate(KINDS)}
            procs = {kind: places[kind].start_forwarder(kind) for kind in KINDS}
            # A fourth CPU-bound process on the forwarder CPU: each forwarder
            # gets a quarter of it while each load generator has a third of
            # the other CPU, so that every forwarder is the bottleneck.
            ballast = self.runner.spawn(
                ["taskset", "-c", self.a.forwarder_core, os.path.join(a.tools, "ballast"),
                 "%.0f" % (4 * (a.pair_windows * a.pair_seconds + 15))], "ballast")
            line = ["  round %d, ferrin/floor, ferrin -b %s/floor:" % (r + 1, BATCH)]
            for name, direction, length in CASES:
                blasters = {kind: places[kind].start_blaster(direction, length,
                                                             a.pair_windows * a.pair_seconds
                                                             + 10.0) for kind in KINDS}
                try:
                    for kind in KINDS:
                        places[kind].wait_flowing(direction, blasters[kind])
                    time.sleep(0.2)
                    ratios = []
                    for _ in range(a.pair_windows):
                        open_windows = {kind: Window(places[kind], direction, procs[kind])
                                        for kind in KINDS}
                        time.sleep(a.pair_seconds)
                        m = {kind: open_windows[kind].close(length) for kind in KINDS}
                        if min(m[kind]["packets"] for kind in KINDS) == 0:
                            raise RuntimeError("a forwarder forwarded nothing in %s" % name)
                        windows[name].append(m)
                        ratios.append("%.3f/%.3f" % tuple(m[k]["pps"] / m["floor"]["pps"]
                                                          for k in FERRINS))
                finally:
                    for kind in KINDS:
                        self.runner.end(blasters[kind])
                for kind in KINDS:
                    places[kind].drain(direction)
                line.append("%s %s" % (name, " ".join(ratios)))
            self.runner.end(ballast)
            for kind in KINDS:
                self.hwm[kind] = max(self.hwm[kind], places[kind].stop_forwarder(procs[kind]) or 0)
            print(" ".join(line), flush=True)
        for name, _, _ in CASES:
            w = windows[name]
            self.results["cases"][name]["side_by_side"] = {
                "ratio": {k: median_spread([m[k]["pps"] / m["floor"]["pps"] for m in w])
                          for k in FERRINS},
                "ratio_per_cpu_second": {k: median_spread(
                    [m[k]["pps_cpu"] / m["floor"]["pps_cpu"] for m in w]) for k in FERRINS},
                "pps": {k: median_spread([m[k]["pps"] for m in w]) for k in KINDS},
                "cpu_share": {k: statistics.median(m[k]["cpu_share"] for m in w) for k in KINDS},
                "lost_share": {k: statistics.median(m[k]["lost_share"] for m in w) for k in KINDS},
            }

    def phase_tcp(self):
        """TCP through two forwarders of each kind in turn, back to back."""
        if shutil.which("iperf3") is None:
            print("TCP: iperf3 not found (scripts/install-deps.sh installs it), skipped")
            self.results["tcp"] = None
            return
        a = self.args
        print("TCP: iperf3 through two forwarders back to back on CPU %s, %d round(s) of "
              "%.0f s per kind" % (self.tcp.forwarder_core, a.tcp_rounds, a.tcp_seconds),
              flush=True)
        figures = {k: [] for k in KINDS}
        for r in range(a.tcp_rounds):
            shift = r % len(KINDS)
            line = ["  round %d:" % (r + 1)]
            for kind in KINDS[shift:] + KINDS[:shift]:
                procs = self.tcp.start_forwarders(kind)
                try:
                    figures[kind].append(self.tcp.transfer(a.tcp_seconds))
                finally:
                    for proc in procs:
                        self.hwm[kind] = max(self.hwm[kind], proc_status(proc.pid, "VmHWM") or 0)
                        self.runner.end(proc)
                mbps, retransmits, drops = figures[kind][-1]
                line.append("%s %.0f Mbit/s (%d retransmits, %d drops)"
                            % (LABEL[kind], mbps, retransmits, drops))
            print(" ".join(line), flush=True)
        self.results["tcp"] = {k: {
            "mbps": median_spread([f[0] for f in figures[k]]),
            "retransmits": [f[1] for f in figures[k]],
            "raw_drops": [f[2] for f in figures[k]],
            "ratio": median_spread([x[0] / y[0] for x, y in zip(figures[k], figures["floor"])]),
        } for k in KINDS}

    # ----- allocations and system calls -----

    def phase_allocations(self):
        """Each ferrin under the counting allocator: calls between two
        reports taken before and after traffic in all four cases."""
        self.results["allocations"] = {}
        ok = True
        for kind in FERRINS:
            ok = self.allocations_of(kind) and ok
        return ok

    def allocations_of(self, kind):
        shim = os.path.join(self.args.tools, "alloc_count.so")
        proc = self.a.start_forwarder(kind, preload=shim)

        def reports():
            return re.findall(r"alloc_count: (.*)", text_of(proc.err_path))

        def snapshot():
            before = len(reports())
            proc.send_signal(signal.SIGUSR2)
            wait_for(lambda: len(reports()) > before, 10, what="allocation report")
            return {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", reports()[before])}

        start = snapshot()
        forwarded = {}
        for name, direction, length in CASES:
            forwarded[name] = self.blast(self.a, direction, length, self.args.alloc_seconds,
                                         proc)["packets"]
        after = snapshot()
        # The statistics report (syslog) comes after the second snapshot.
        proc.send_signal(signal.SIGUSR1)
        wait_for(lambda: "Ipkts" in text_of(proc.err_path), 10, what="statistics line")
        stats_line = re.search(r"Ipkts.*", text_of(proc.err_path)).group(0)
        self.hwm[kind] = max(self.hwm[kind], self.a.stop_forwarder(proc) or 0)
        delta = {k: after[k] - start[k] for k in start}
        self.results["allocations"][kind] = {"at_start": start, "while_forwarding": delta,
                                             "packets": forwarded, "statistics": stats_line}
        total = sum(delta.values())
        print("%s: allocations while forwarding: %d (%s) over %d packets; at start-up: %s"
              % (LABEL[kind], total, ", ".join("%s %d" % kv for kv in delta.items()),
                 sum(forwarded.values()), ", ".join("%s %d" % kv for kv in start.items())))
        print("  its counters after it: %s" % stats_line, flush=True)
        return total == 0 and all(v > 0 for v in forwarded.values())

    def phase_syscalls(self):
        """strace -c attached to a running ferrin, one direction at a time."""
        if shutil.which("strace") is None:
            print("system calls: strace not found, skipped")
            self.results["syscalls"] = None
            return True
        ok = True
        self.results["syscalls"] = {}
        for kind in FERRINS:
            proc = self.a.start_forwarder(kind)
            for direction, length in (("out", SMALL_PACKET), ("in", SMALL_PACKET)):
                ok = self.syscalls_of(kind, proc, direction, length) and ok
            self.a.stop_forwarder(proc)
        return ok

    def syscalls_of(self, kind, proc, direction, length):
        out_path = os.path.join(self.runner.tmpdir, "strace-%s-%s.txt" % (kind, direction))
        tracer = self.runner.spawn(["strace", "-c", "-o", out_path, "-p", str(proc.pid)],
                                   "strace")
        wait_for(lambda: "attached" in text_of(tracer.err_path)
                 or tracer.poll() is not None, 10, what="strace to attach")
        m = self.blast(self.a, direction, length, self.args.strace_seconds, proc)
        self.runner.end(tracer, signal.SIGINT)
        calls, errors = {}, {}
        for line in text_of(out_path).splitlines():
            match = re.match(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:(\d+)\s+)?([a-z_0-9]+)\s*$",
                             line)
            if match and match.group(3) != "total":
                calls[match.group(3)] = int(match.group(1))
                errors[match.group(3)] = int(match.group(2) or 0)
        # A read that found the device empty moved no packet.
        packets = sum(calls.get(name, 0) - errors.get(name, 0)
                      for name in PACKET_CALL[kind, direction])
        allowed = ALLOWED_CALLS[kind, direction]
        others = {k: v for k, v in calls.items() if k not in allowed}
        per = ", ".join("%s %.3f" % (k, v / packets) for k, v in sorted(calls.items())
                        if packets)
        total = sum(calls.values()) / packets if packets else 0.0
        print("%s: system calls %s: %d packets under strace -c: %s per packet (%.3f in all)%s"
              % (LABEL[kind], direction, packets, per, total,
                 "; UNEXPECTED: %s" % others if others else "; nothing else"), flush=True)
        self.results["syscalls"]["%s %s" % (kind, direction)] = {
            "packets": packets, "calls": calls, "errors": errors, "per_packet": total,
            "forwarded_far_side": m["packets"]}
        return not others and packets > 0

    # ----- decision code -----

    def phase_decision_time(self):
        binary = os.path.join(self.args.tools, "decide_bench")
        if not os.path.exists(binary):
            print("decision time: decide_bench not built (Google Benchmark missing), skipped")
            self.results["decision_ns"] = None
            return
        result = run(["taskset", "-c", self.a.forwarder_core, binary, "--benchmark_format=json",
                      "--benchmark_repetitions=%d" % self.args.gbench_repetitions,
                      "--benchmark_min_time=%g" % self.args.gbench_min_time], timeout=300)
        data = json.loads(result.stdout)
        per = {}
        for entry in data["benchmarks"]:
            if entry.get("run_type", "iteration") == "iteration":
                name = entry.get("run_name", entry["name"]).replace("BM_", "")
                factor = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[entry.get("time_unit", "ns")]
                per.setdefault(name, []).append(entry["cpu_time"] * factor)
        self.results["decision_ns"] = {k: median_spread(v) for k, v in per.items()}
        for name, s in self.results["decision_ns"].items():
            print("decision time %s: %.1f ns per packet (median of %d, %.1f-%.1f)"
                  % (name, s["median"], len(per[name]), s["min"], s["max"]))

    def phase_instructions(self):
        if shutil.which("valgrind") is None:
            print("instructions: valgrind not found, skipped")
            self.results["instructions"] = None
            return
        driver = os.path.join(self.args.tools, "decide_driver")
        count = self.args.callgrind_packets
        totals = {}
        for mode in ("empty", "tun2raw", "raw2tun"):
            out_path = os.path.join(self.runner.tmpdir, "callgrind.%s" % mode)
            run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out_path,
                 "--toggle-collect=run_batch", driver, mode, str(count)], timeout=600)
            match = re.search(r"^(?:totals|summary):\s*(\d+)", text_of(out_path), re.M)
            totals[mode] = int(match.group(1))
        per = {mode: (totals[mode] - totals["empty"]) / count for mode in ("tun2raw", "raw2tun")}
        self.results["instructions"] = {"per_packet": per, "totals": totals, "packets": count}
        print("instructions per packet (callgrind, %d packets, driver loop of %.1f subtracted): "
              "tun2raw_decide %.1f, raw2tun_decide %.1f"
              % (count, totals["empty"] / count, per["tun2raw"], per["raw2tun"]), flush=True)

    # ----- report -----

    def report(self):
        def spread(r):
            text = "%.3f-%.3f" % (r["min"], r["max"])
            if "q1" in r:
                text += ", IQR %.3f-%.3f" % (r["q1"], r["q3"])
            return text

        def rate(s, length):
            if length == SMALL_PACKET:
                return "%.0f pps (%.0f-%.0f)" % (s["median"], s["min"], s["max"])
            f = length * 8 / 1e9
            return "%.3f Gbit/s (%.3f-%.3f)" % (s["median"] * f, s["min"] * f, s["max"] * f)

        def shares(key, field):
            return ", ".join("%s %s" % (name, "/".join("%.0f%%" % (100 * c[key][field][k])
                                                       for k in KINDS))
                             for name, c in cases if key in c)

        cases = [(name, self.results["cases"][name]) for name, _, _ in CASES]
        lengths = {name: length for name, _, length in CASES}
        kinds_text = "/".join(LABEL[k] for k in KINDS)
        print()
        if any("side_by_side" in c for _, c in cases):
            print("ferrin / floor side by side (same CPU, same windows; median over windows, "
                  "min-max, IQR):")
            print("  %-10s %-14s %-44s %s" % ("case", "", "per second of CPU time", "wall clock"))
            for name, c in cases:
                s = c.get("side_by_side")
                for k in FERRINS if s else ():
                    cpu, wall = s["ratio_per_cpu_second"][k], s["ratio"][k]
                    print("  %-10s %-14s %-44s %s"
                          % (name, LABEL[k], "%.3f (%s)" % (cpu["median"], spread(cpu)),
                             "%.3f (%s)" % (wall["median"], spread(wall))))
            print("  CPU share (%s): %s" % (kinds_text, shares("side_by_side", "cpu_share")))
            print("  offered load dropped before the forwarder (%s): %s"
                  % (kinds_text, shares("side_by_side", "lost_share")))
        if any("alone" in c for _, c in cases):
            for title, key in (("wall clock", "pps"),
                               ("per second of the forwarder's CPU time", "pps_per_cpu_second")):
                ratio_key = "ratio" if key == "pps" else "ratio_per_cpu_second"
                print("forwarding rate alone (%s; median over rounds, min-max):" % title)
                print("  %-10s %-30s %-30s %-30s %s" % ("case", "ferrin", LABEL["batch"],
                                                        "floor", "ratios to the floor"))
                for name, c in cases:
                    s = c.get("alone")
                    if s:
                        print("  %-10s %-30s %-30s %-30s %s"
                              % (name, rate(s[key]["ferrin"], lengths[name]),
                                 rate(s[key]["batch"], lengths[name]),
                                 rate(s[key]["floor"], lengths[name]),
                                 ", ".join("%.3f (%s)" % (s[ratio_key][k]["median"],
                                                          spread(s[ratio_key][k]))
                                           for k in FERRINS)))
            for name, c in cases:
                s = c.get("alone")
                if s and lengths[name] != SMALL_PACKET:
                    print("  %s in packets per second: %s"
                          % (name, ", ".join("%s %.0f" % (LABEL[k], s["pps"][k]["median"])
                                             for k in KINDS)))
            print("  CPU share (%s): %s" % (kinds_text, shares("alone", "cpu_share")))
            print("  offered load dropped before the forwarder (%s; above 0 the forwarder was "
                  "the bottleneck): %s" % (kinds_text, shares("alone", "lost_share")))
        tcp = self.results.get("tcp")
        if tcp:
            print("TCP through two forwarders back to back, both on CPU %s (iperf3, %.0f s per "
                  "run, median over rounds, min-max):" % (self.a.forwarder_core,
                                                          self.args.tcp_seconds))
            for k in KINDS:
                t = tcp[k]
                print("  %-14s %7.0f Mbit/s (%.0f-%.0f), retransmits %s, raw socket drops %s%s"
                      % (LABEL[k], t["mbps"]["median"], t["mbps"]["min"], t["mbps"]["max"],
                         "/".join(str(x) for x in t["retransmits"]),
                         "/".join(str(x) for x in t["raw_drops"]),
                         "" if k == "floor" else ", %.2fx the floor (%s)"
                         % (t["ratio"]["median"], spread(t["ratio"]))))
        self.results["hwm_kib"] = self.hwm
        print("peak resident memory (VmHWM): %s"
              % ", ".join("%s %d KiB" % (LABEL[k], self.hwm[k]) for k in KINDS))

    def main(self):
        a = self.args
        print("ferrin bench%s: %s" % (" (smoke)" if a.smoke else "", a.ferrin))
        print("machine: %d CPU(s), load average %s; load generators on CPU %s, forwarders on "
              "CPU %s" % (os.cpu_count(), load_average(), self.a.blaster_core,
                          self.a.forwarder_core), flush=True)
        self.results["load_before"] = load_average()
        self.a.setup()
        self.b.setup()
        self.c.setup()
        self.tcp.setup()
        self.phase_side_by_side()
        self.phase_alone()
        self.phase_tcp()
        ok = self.phase_allocations()
        ok = self.phase_syscalls() and ok
        self.phase_decision_time()
        self.phase_instructions()
        self.results["load_after"] = load_average()
        self.report()
        print("load average at the end: %s" % self.results["load_after"])
        if a.json:
            with open(a.json, "w") as f:
                json.dump(self.results, f, indent=2)
        return ok

    def cleanup(self):
        self.runner.cleanup()
        self.a.remove()
        self.b.remove()
        self.c.remove()
        self.tcp.remove()


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--ferrin", required=True)
    p.add_argument("--tools", required=True, help="folder of the bench programs")
    p.add_argument("--smoke", action="store_true")
    p.add_argument("--rounds", type=int, help="rounds alone")
    p.add_argument("--tcp-rounds", type=int, help="rounds of the TCP figure")
    p.add_argument("--tcp-seconds", type=float, help="iperf3 run of the TCP figure")
    p.add_argument("--seconds", type=float, help="window per case alone")
    p.add_argument("--pair-rounds", type=int, help="rounds side by side")
    p.add_argument("--pair-windows", type=int, help="windows per case and round side by side")
    p.add_argument("--pair-seconds", type=float, help="window side by side")
    p.add_argument("--cores", default="0,1" if (os.cpu_count() or 1) >= 2 else "0,0",
                   help="load generator CPU,forwarder CPU (default 0,1)")
    p.add_argument("--json", help="write all figures to this file")
    p.add_argument("--keep", action="store_true", help="keep the logs")
    a = p.parse_args()
    if a.smoke:
        defaults = dict(rounds=1, seconds=0.3, pair_rounds=1, pair_windows=1, pair_seconds=0.3,
                        alloc_seconds=0.2, strace_seconds=0.3, gbench_repetitions=3,
                        tcp_rounds=1, tcp_seconds=1.0,
                        gbench_min_time=0.02, callgrind_packets=10000)
    else:
        defaults = dict(rounds=5, seconds=1.5, pair_rounds=6, pair_windows=4, pair_seconds=1.0,
                        alloc_seconds=1.0, strace_seconds=1.0, gbench_repetitions=9,
                        tcp_rounds=3, tcp_seconds=4.0,
                        gbench_min_time=0.3, callgrind_packets=100000)
    for k, v in defaults.items():
        if getattr(a, k, None) is None:
            setattr(a, k, v)
    # Upper bound of the whole run, for the namespace holders.
    a.max_seconds = 900 + a.rounds * 12 * (a.seconds + 5) \
        + a.pair_rounds * 4 * (a.pair_windows * a.pair_seconds + 15) \
        + a.tcp_rounds * 3 * (a.tcp_seconds + 15)
    return a


def main():
    args = parse_args()
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, on_signal)
    bench = Bench(args)
    ok = False
    try:
        ok = bench.main()
    except Interrupted as e:
        print("interrupted (%s); cleaning up" % e, file=sys.stderr)
        return 130
    finally:
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(signum, signal.SIG_IGN)
        bench.cleanup()
    print("bench: %s" % ("ok" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
