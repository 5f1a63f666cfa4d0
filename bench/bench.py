#!/usr/bin/env python3
"""ferrin against the I/O floor. Started by run.sh; see README.md.

One run makes two network namespaces, a site (where the forwarder and its
tunnel interface live) and a peer (the far end of a veth pair), measures
ferrin and the floor forwarder in alternation, and removes everything it
made, also when interrupted.

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

# The system calls of one packet, by the names strace shows: glibc's select()
# is the pselect6 system call and recv() is recvfrom.
ALLOWED_CALLS = {"out": {"select", "pselect6", "read", "sendto"},
                 "in": {"select", "pselect6", "recv", "recvfrom", "write"}}
PACKET_CALL = {"out": ("read",), "in": ("recv", "recvfrom")}


class Interrupted(Exception):
    pass


def on_signal(signum, frame):
    # The first signal ends the run; later ones must not cut the clean-up short.
    for other in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(other, signal.SIG_IGN)
    raise Interrupted("signal %d" % signum)


def wait_for(predicate, timeout, what, interval=0.01):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise RuntimeError("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def run(cmd, check=True, timeout=60):
    result = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    if check and result.returncode != 0:
        raise RuntimeError("%s failed (%d): %s%s" % (" ".join(cmd), result.returncode,
                                                       result.stdout, result.stderr))
    return result


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
    result = {"median": statistics.median(values), "min": values[0], "max": values[-1]}
    if len(values) >= 4:
        q = statistics.quantiles(values, n=4, method="inclusive")
        result["q1"], result["q3"] = q[0], q[2]
    return result


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


class Bench:
    def __init__(self, args):
        self.args = args
        self.tag = os.environ.get("BENCH_TAG") or "fb%d" % (os.getpid() % 100000)
        self.site = self.tag + "s"
        self.peer = self.tag + "p"
        self.site_if = self.tag + "vs"
        self.peer_if = self.tag + "vp"
        self.tun = self.tag + "t"
        self.namespaces = []
        self.processes = []
        self.tmpdir = tempfile.mkdtemp(prefix="ferrin-bench-")
        self.serial = 0
        self.blaster_core, self.forwarder_core = args.cores.split(",")
        self.tools = args.tools
        self.results = {"cases": {}, "cores": {"load generator": self.blaster_core,
                                                "forwarder": self.forwarder_core}}

    # ----- processes and namespaces -----

    def spawn(self, cmd, label, env=None):
        self.serial += 1
        out_path = os.path.join(self.tmpdir, "%s-%d.out" % (label, self.serial))
        err_path = os.path.join(self.tmpdir, "%s-%d.err" % (label, self.serial))
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            proc = subprocess.Popen(cmd, stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                                    env=env)
        proc.out_path, proc.err_path = out_path, err_path
        self.processes.append(proc)
        return proc

    @staticmethod
    def text(path):
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")

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

    def in_ns(self, ns, *cmd):
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
        self.site_holder = self.spawn(self.in_ns(self.site, "sleep", bound), "holder")
        self.peer_holder = self.spawn(self.in_ns(self.peer, "sleep", bound), "holder")
        for holder, ns in ((self.site_holder, self.site), (self.peer_holder, self.peer)):
            wait_for(lambda: os.readlink("/proc/%d/ns/net" % holder.pid)
                     != os.readlink("/proc/self/ns/net"), 10, "namespace of %s" % ns)

    def cleanup(self):
        for proc in reversed(list(self.processes)):
            try:
                self.end(proc, signal.SIGTERM, timeout=5)
            except Exception:
                pass
        for ns in reversed(self.namespaces):
            subprocess.run(["ip", "netns", "del", ns], capture_output=True, timeout=30)
        self.namespaces = []
        if self.args.keep:
            print("logs kept in %s" % self.tmpdir)
        else:
            shutil.rmtree(self.tmpdir, ignore_errors=True)

    # ----- forwarders -----

    def start_forwarder(self, kind, preload=None):
        pin = ["taskset", "-c", self.forwarder_core]
        if kind == "ferrin":
            cmd = [self.args.ferrin, "-F", self.tun, PREFIX, RELAY, SITE_V4]
            ready = "started"
        else:
            cmd = [os.path.join(self.tools, "floor_forwarder"), self.tun, SITE_V4, OTHER_SITE_V4]
            ready = "ready"
        if preload:
            cmd = ["env", "LD_PRELOAD=" + preload] + cmd
        proc = self.spawn(self.in_ns(self.site, *(pin + cmd)), kind)
        wait_for(lambda: ready in self.text(proc.err_path) or proc.poll() is not None, 10,
                 "%s to start" % kind)
        if proc.poll() is not None:
            raise RuntimeError("%s ended at start: %s" % (kind, self.text(proc.err_path)))
        run(["ip", "-n", self.site, "addr", "add", SITE_V6 + "/64", "dev", self.tun, "nodad"])
        run(["ip", "-n", self.site, "-6", "route", "add", "2001:db8::/32", "dev", self.tun])
        return proc

    def stop_forwarder(self, proc):
        hwm = proc_status(proc.pid, "VmHWM")
        status = self.end(proc)
        if status != 0:
            raise RuntimeError("forwarder ended with status %s: %s" % (status,
                                                                       self.text(proc.err_path)))
        return hwm

    # ----- load -----

    def start_blaster(self, direction, length, seconds):
        pin = ["taskset", "-c", self.blaster_core]
        if direction == "out":
            cmd = self.in_ns(self.site, *(pin + [os.path.join(self.tools, "udp_blaster"),
                                                  OTHER_SITE_V6, "9", str(length - 48),
                                                  "%.2f" % seconds]))
        else:
            cmd = self.in_ns(self.peer, *(pin + [os.path.join(self.tools, "p41_blaster"),
                                                  PEER_SITE_V4, SITE_V4, PEER_SITE_V6,
                                                  INBOUND_DST_V6, str(length),
                                                  "%.2f" % seconds]))
        return self.spawn(cmd, "blaster")

    def sample(self, direction):
        """(packets forwarded, packets lost before the forwarder) so far."""
        if direction == "out":
            far = interface_counters(self.peer_holder.pid)[self.peer_if][0]
            lost = interface_counters(self.site_holder.pid)[self.tun][3]
        else:
            far = interface_counters(self.site_holder.pid)[self.tun][0]
            lost = raw_drops(self.site_holder.pid)
        return far, lost, time.monotonic()

    def blast(self, direction, length, seconds, forwarder, settle=0.2):
        """Runs one blaster and measures the forwarded rate over a window of
        the given length, once traffic flows. Returns a dict of figures:
        the rate in wall-clock time, and per second of CPU time that the
        forwarder got (which other load on the machine disturbs far less)."""
        blaster = self.start_blaster(direction, length, seconds + 5.0)
        try:
            first = self.sample(direction)[0]
            wait_for(lambda: self.sample(direction)[0] > first or blaster.poll() is not None,
                     10, "traffic to flow")
            if blaster.poll() is not None:
                raise RuntimeError("blaster ended: %s%s" % (self.text(blaster.out_path),
                                                            self.text(blaster.err_path)))
            time.sleep(settle)
            c0 = cpu_seconds(forwarder.pid)
            f0, l0, t0 = self.sample(direction)
            time.sleep(seconds)
            f1, l1, t1 = self.sample(direction)
            c1 = cpu_seconds(forwarder.pid)
        finally:
            self.end(blaster, signal.SIGTERM)
        # Let the queues drain before the next measurement.
        last = [self.sample(direction)[0]]

        def settled():
            now = self.sample(direction)[0]
            if now == last[0]:
                return True
            last[0] = now
            return False

        wait_for(settled, 10, "queues to drain", interval=0.05)
        pps = (f1 - f0) / (t1 - t0)
        lost = l1 - l0
        return {"pps": pps, "gbps": pps * length * 8 / 1e9, "packets": f1 - f0,
                "lost_before": lost, "seconds": t1 - t0, "cpu_share": (c1 - c0) / (t1 - t0),
                "pps_cpu": (f1 - f0) / (c1 - c0) if c1 > c0 else 0.0}

    # ----- phases -----

    def phase_rates(self):
        rounds, seconds = self.args.rounds, self.args.seconds
        figures = {name: {"ferrin": [], "floor": [], "ratio": [],
                          "cpu": {"ferrin": [], "floor": []}, "cpu_ratio": [],
                          "share": {"ferrin": [], "floor": []},
                          "lost": {"ferrin": [], "floor": []}}
                   for name, _, _ in CASES}
        hwm = {"ferrin": 0, "floor": 0}
        print("rates: %d round(s), %.1f s per measurement, forwarder on CPU %s, load generator "
              "on CPU %s; ratios ferrin/floor per round: wall-clock/per CPU second"
              % (rounds, seconds, self.forwarder_core, self.blaster_core), flush=True)
        for r in range(rounds):
            line = ["  round %d:" % (r + 1)]
            for index, (name, direction, length) in enumerate(CASES):
                order = ["ferrin", "floor"] if (r + index) % 2 == 0 else ["floor", "ferrin"]
                got = {}
                for kind in order:
                    proc = self.start_forwarder(kind)
                    m = self.blast(direction, length, seconds, proc)
                    hwm[kind] = max(hwm[kind], self.stop_forwarder(proc) or 0)
                    got[kind] = m
                    figures[name][kind].append(m["pps"])
                    figures[name]["cpu"][kind].append(m["pps_cpu"])
                    figures[name]["share"][kind].append(m["cpu_share"])
                    offered = m["packets"] + m["lost_before"]
                    figures[name]["lost"][kind].append(m["lost_before"] / offered if offered
                                                       else 0.0)
                    if m["packets"] == 0:
                        raise RuntimeError("%s forwarded nothing in %s" % (kind, name))
                ratio = got["ferrin"]["pps"] / got["floor"]["pps"]
                figures[name]["ratio"].append(ratio)
                cpu_ratio = got["ferrin"]["pps_cpu"] / got["floor"]["pps_cpu"]
                figures[name]["cpu_ratio"].append(cpu_ratio)
                line.append("%s %.3f/%.3f" % (name, ratio, cpu_ratio))
            print(" ".join(line), flush=True)
        self.results["hwm_kib"] = hwm
        for name, direction, length in CASES:
            f = figures[name]
            self.results["cases"][name] = {
                "direction": direction, "ipv6_length": length,
                "ferrin_pps": median_spread(f["ferrin"]), "floor_pps": median_spread(f["floor"]),
                "ratio": median_spread(f["ratio"]),
                "ferrin_pps_per_cpu_second": median_spread(f["cpu"]["ferrin"]),
                "floor_pps_per_cpu_second": median_spread(f["cpu"]["floor"]),
                "cpu_ratio": median_spread(f["cpu_ratio"]),
                "cpu_share": {k: statistics.median(v) for k, v in f["share"].items()},
                "ferrin_gbps": median_spread([p * length * 8 / 1e9 for p in f["ferrin"]]),
                "floor_gbps": median_spread([p * length * 8 / 1e9 for p in f["floor"]]),
                "lost_before_forwarder": {k: statistics.median(v) for k, v in f["lost"].items()},
                "ratios": f["ratio"], "cpu_ratios": f["cpu_ratio"],
            }

    def phase_allocations(self):
        """ferrin under the counting allocator: calls between two reports
        taken before and after traffic in all four cases."""
        shim = os.path.join(self.tools, "alloc_count.so")
        proc = self.start_forwarder("ferrin", preload=shim)
        seconds = self.args.alloc_seconds

        def reports():
            return re.findall(r"alloc_count: (.*)", self.text(proc.err_path))

        def snapshot():
            before = len(reports())
            proc.send_signal(signal.SIGUSR2)
            wait_for(lambda: len(reports()) > before, 10, "allocation report")
            return {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", reports()[before])}

        start = snapshot()
        forwarded = {}
        for name, direction, length in CASES:
            forwarded[name] = self.blast(direction, length, seconds, proc)["packets"]
        after = snapshot()
        # The statistics report (syslog) comes after the second snapshot.
        proc.send_signal(signal.SIGUSR1)
        wait_for(lambda: "Ipkts" in self.text(proc.err_path), 10, "statistics line")
        stats_line = re.search(r"Ipkts.*", self.text(proc.err_path)).group(0)
        self.stop_forwarder(proc)
        delta = {k: after[k] - start[k] for k in start}
        self.results["allocations"] = {"at_start": start, "while_forwarding": delta,
                                       "packets": forwarded, "statistics": stats_line}
        total = sum(delta.values())
        print("allocations while forwarding: %d (%s) over %d packets; at start-up: %s"
              % (total, ", ".join("%s %d" % kv for kv in delta.items()),
                 sum(forwarded.values()), ", ".join("%s %d" % kv for kv in start.items())))
        print("  ferrin counters after the allocation phase: %s" % stats_line, flush=True)
        return total == 0 and all(v > 0 for v in forwarded.values())

    def phase_syscalls(self):
        """strace -c attached to a running ferrin, one direction at a time."""
        if shutil.which("strace") is None:
            print("system calls: strace not found, skipped")
            self.results["syscalls"] = None
            return True
        ok = True
        self.results["syscalls"] = {}
        proc = self.start_forwarder("ferrin")
        for direction, length in (("out", SMALL_PACKET), ("in", SMALL_PACKET)):
            out_path = os.path.join(self.tmpdir, "strace-%s.txt" % direction)
            tracer = self.spawn(["strace", "-c", "-o", out_path, "-p", str(proc.pid)], "strace")
            wait_for(lambda: "attached" in self.text(tracer.err_path)
                     or tracer.poll() is not None, 10, "strace to attach")
            m = self.blast(direction, length, self.args.strace_seconds, proc)
            self.end(tracer, signal.SIGINT)
            calls = {}
            for line in self.text(out_path).splitlines():
                match = re.match(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?([a-z_0-9]+)\s*$",
                                 line)
                if match and match.group(2) != "total":
                    calls[match.group(2)] = int(match.group(1))
            packets = sum(calls.get(name, 0) for name in PACKET_CALL[direction])
            others = {k: v for k, v in calls.items() if k not in ALLOWED_CALLS[direction]}
            per = ", ".join("%s %.3f" % (k, v / packets) for k, v in sorted(calls.items())
                            if packets)
            print("system calls %s: %d packets under strace -c: %s per packet%s"
                  % (direction, packets, per,
                     "; UNEXPECTED: %s" % others if others else "; nothing else"), flush=True)
            self.results["syscalls"][direction] = {"packets": packets, "calls": calls,
                                                   "forwarded_far_side": m["packets"]}
            if others or packets == 0:
                ok = False
        self.stop_forwarder(proc)
        return ok

    def phase_decision_time(self):
        binary = os.path.join(self.tools, "decide_bench")
        if not os.path.exists(binary):
            print("decision time: decide_bench not built (Google Benchmark missing), skipped")
            self.results["decision_ns"] = None
            return
        reps = str(self.args.gbench_repetitions)
        result = run(["taskset", "-c", self.forwarder_core, binary, "--benchmark_format=json",
                      "--benchmark_repetitions=" + reps,
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
            return True
        driver = os.path.join(self.tools, "decide_driver")
        count = self.args.callgrind_packets
        totals = {}
        for mode in ("empty", "tun2raw", "raw2tun"):
            out_path = os.path.join(self.tmpdir, "callgrind.%s" % mode)
            run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out_path,
                 "--toggle-collect=run_batch", driver, mode, str(count)], timeout=600)
            with open(out_path) as f:
                text = f.read()
            match = re.search(r"^(?:totals|summary):\s*(\d+)", text, re.M)
            totals[mode] = int(match.group(1))
        per = {mode: (totals[mode] - totals["empty"]) / count for mode in ("tun2raw", "raw2tun")}
        self.results["instructions"] = {"per_packet": per, "totals": totals, "packets": count}
        print("instructions per packet (callgrind, %d packets, driver loop of %.1f subtracted): "
              "tun2raw_decide %.1f, raw2tun_decide %.1f"
              % (count, totals["empty"] / count, per["tun2raw"], per["raw2tun"]), flush=True)
        return True

    # ----- report -----

    def report(self):
        cases = [(name, length, self.results["cases"][name]) for name, _, length in CASES
                 if name in self.results["cases"]]

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

        if cases:
            print()
            print("forwarding rate, wall clock (median over rounds, min-max):")
            print("  %-10s %-30s %-30s %s" % ("case", "ferrin", "floor", "ferrin/floor"))
            for name, length, c in cases:
                print("  %-10s %-30s %-30s %.3f (%s)" % (name, rate(c["ferrin_pps"], length),
                                                        rate(c["floor_pps"], length),
                                                        c["ratio"]["median"], spread(c["ratio"])))
            print("forwarding rate per second of the forwarder's CPU time (the same packets "
                  "over the CPU time each forwarder got):")
            print("  %-10s %-30s %-30s %s" % ("case", "ferrin", "floor", "ferrin/floor"))
            for name, length, c in cases:
                print("  %-10s %-30s %-30s %.3f (%s)"
                      % (name, rate(c["ferrin_pps_per_cpu_second"], length),
                         rate(c["floor_pps_per_cpu_second"], length),
                         c["cpu_ratio"]["median"], spread(c["cpu_ratio"])))
            for name, length, c in cases:
                if length != SMALL_PACKET:
                    print("  %s in packets per second: ferrin %.0f, floor %.0f (wall clock)"
                          % (name, c["ferrin_pps"]["median"], c["floor_pps"]["median"]))
            print("  CPU share the forwarders got (ferrin/floor): " + ", ".join(
                "%s %.0f%%/%.0f%%" % (name, 100 * c["cpu_share"]["ferrin"],
                                      100 * c["cpu_share"]["floor"]) for name, _, c in cases))
            print("  offered load dropped before the forwarder (ferrin/floor; above 0 the "
                  "forwarder was the bottleneck): " + ", ".join(
                      "%s %.0f%%/%.0f%%" % (name, 100 * c["lost_before_forwarder"]["ferrin"],
                                            100 * c["lost_before_forwarder"]["floor"])
                      for name, _, c in cases))
        if "hwm_kib" in self.results:
            print("peak resident memory (VmHWM): ferrin %d KiB, floor %d KiB"
                  % (self.results["hwm_kib"]["ferrin"], self.results["hwm_kib"]["floor"]))

    def main(self):
        a = self.args
        print("ferrin bench%s: %s" % (" (smoke)" if a.smoke else "", a.ferrin))
        print("machine: %d CPU(s), load average %s" % (os.cpu_count(), load_average()),
              flush=True)
        self.results["load_before"] = load_average()
        ok = True
        self.setup()
        self.phase_rates()
        ok = self.phase_allocations() and ok
        ok = self.phase_syscalls() and ok
        self.phase_decision_time()
        ok = self.phase_instructions() and ok
        self.results["load_after"] = load_average()
        self.report()
        print("load average at the end: %s" % self.results["load_after"])
        if a.json:
            with open(a.json, "w") as f:
                json.dump(self.results, f, indent=2)
        return ok


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--ferrin", required=True)
    p.add_argument("--tools", required=True, help="folder of the bench programs")
    p.add_argument("--smoke", action="store_true")
    p.add_argument("--rounds", type=int)
    p.add_argument("--seconds", type=float, help="measurement window per case")
    p.add_argument("--cores", default="0,1" if (os.cpu_count() or 1) >= 2 else "0,0",
                   help="load generator CPU,forwarder CPU (default 0,1)")
    p.add_argument("--json", help="write all figures to this file")
    p.add_argument("--keep", action="store_true", help="keep the logs")
    a = p.parse_args()
    if a.smoke:
        defaults = dict(rounds=1, seconds=0.3, alloc_seconds=0.2, strace_seconds=0.3,
                        gbench_repetitions=3, gbench_min_time=0.02, callgrind_packets=10000)
    else:
        defaults = dict(rounds=7, seconds=2.0, alloc_seconds=1.0, strace_seconds=1.0,
                        gbench_repetitions=9, gbench_min_time=0.3, callgrind_packets=100000)
    for k, v in defaults.items():
        if getattr(a, k, None) is None:
            setattr(a, k, v)
    # Upper bound of the whole run, for the namespace holders.
    a.max_seconds = 600 + a.rounds * 8 * (a.seconds + 5)
    return a


def main():
    args = parse_args()
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, on_signal)
    bench = Bench(args)
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
