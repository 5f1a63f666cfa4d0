# SPDX-License-Identifier: BSD-2-Clause
"""A flood of hostile and malformed traffic against a running endpoint.

Site A's daemon takes, at full speed and for FERRIN_FLOOD_SECONDS (default
12), forged protocol-41 datagrams from an attacker's namespace (flood_sender
raw: random ones, IPv6 payloads under 40 bytes, IPv4 headers with options up
to 60 bytes, datagrams of 2048 bytes and more, and spoofs of every refusal:
native source not from the relay, a refused native source from the relay,
an embedded address that differs from the IPv4 source, a refused embedded
address, a destination that is not A), while random frames are queued to its
tun interface (IPv6, IPv4 and unknown EtherTypes) and UDP is routed into it
(flood_sender tun), and real pings go both ways between A and B.

Afterwards:
- the daemon runs, still forwards, and its resident memory has not grown;
- no packet but the pings reached A's tun interface (every spoof carries
  the marker "SPOOFED!", the pings a pattern of their own);
- the counters account for every datagram the kernel handed the raw socket.
  The kernel keeps no per-socket receive count, so it is derived from A's
  namespace counters. Ip InDelivers counts every IPv4 datagram delivered
  locally. A datagram that finds the raw socket's queue full counts in the
  socket's drops column of /proc/net/raw, and either before delivery (newer
  kernels; no kernel handler takes protocol 41 here, so it then counts in Ip
  InUnknownProtos instead of InDelivers) or after it (older kernels; then it
  also counted in InDelivers). So the datagrams queued to the socket are
  InDelivers - (drops - InUnknownProtos). This holds because nothing but
  protocol 41 reaches A's namespace (A's daemon sends anything not meant
  for B into a sink interface, so no error comes back; the ICMP, UDP and TCP
  input counters are checked to stay 0) and the daemon's socket is the only
  raw socket there that takes datagrams in (its second one, which only
  sends datagrams that need fragments, drops all it is offered). Ipkts + Ierrs + Irjct must move by exactly that much,
  measured while the endpoint is idle before and after the flood.
- likewise on the other side: the tun interface's tx_packets counts the
  frames the daemon read, rx_packets those it wrote.
"""

import os
import socket
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import netlab  # noqa: E402
from packets import TunCapture  # noqa: E402
from robustness_lab import (A_V4, A_V6, B_V4, B_V6, assert_forwarding, build_sender,  # noqa: E402
                            finish, link_statistics, raw_socket, settle, snmp, start_process,
                            two_sites, vm_rss_kib)
from sites import RELAY  # noqa: E402

FLOOD_SECONDS = float(os.environ.get("FERRIN_FLOOD_SECONDS", "12"))
PING_PATTERN = "f100d5ed0c0ffee5"
RSS_GROWTH_KIB = 8  # two pages
MARKER = b"SPOOFED!"


B_SOURCE = socket.inet_pton(socket.AF_INET6, B_V6)
A_DESTINATION = socket.inet_pton(socket.AF_INET6, A_V6)


def sender_counts(output):
    return {name: int(value) for name, value in (line.split() for line in output.splitlines())}


def is_ping(packet):
    """An echo request or reply between B and A carrying the pings' pattern."""
    pattern = bytes.fromhex(PING_PATTERN)
    return (len(packet) >= 64 and packet[0] >> 4 == 6 and packet[6] == 58
            and packet[8:24] == B_SOURCE and packet[24:40] == A_DESTINATION
            and packet[40] in (128, 129) and pattern * 2 in packet[48:])


class Flood(unittest.TestCase):

    options = ()  # for both daemons
    seconds = FLOOD_SECONDS

    def attacker(self, lab, a):
        """A namespace joined to A by a veth of MTU 9000 that carries no
        address of A's: it reaches 192.0.2.1 by a static neighbour entry."""
        ns = lab.namespace("atk")
        ns.quiet_ipv6()
        va, vc = lab.veth(a.ns, None, ns, None)
        a.ns.sysctl("net.ipv4.conf.%s.rp_filter" % va, 0)
        for side, name in ((a.ns, va), (ns, vc)):
            side.run("ip", "link", "set", name, "mtu", "9000")
        mac = a.ns.run("cat", "/sys/class/net/%s/address" % va).stdout.strip()
        ns.run("ip", "route", "add", A_V4 + "/32", "dev", vc)
        ns.run("ip", "neigh", "replace", A_V4, "lladdr", mac, "dev", vc, "nud", "permanent")
        return ns

    def idle_snapshot(self, a):
        """Counters of daemon and kernel once nothing moves any more: taken
        again should a packet slip in while they are read."""
        def kernel():
            return raw_socket(a.ns, A_V4, a.daemon.pid), link_statistics(a.ns, a.tun), snmp(a.ns)

        for _ in range(10):
            settle(lambda: kernel()[:2], what="A's raw socket and tun interface to go idle")
            first = kernel()
            daemon = a.daemon.statistics()
            if kernel() == first:
                break
        else:
            self.fail("A's counters kept moving")
        (queued, drops), tun, counters = first
        self.assertEqual(queued, 0, "datagrams left in the raw socket")
        return {"daemon": daemon, "snmp": counters, "drops": drops, "tun": tun,
                "rss": vm_rss_kib(a.daemon.pid)}

    def flood(self, a, attacker, sender, seconds, seed):
        """Runs both senders (and pings, when asked) for seconds; returns
        what the senders counted."""
        runs = [start_process(self, attacker, [sender, "raw", str(seconds), str(seed), A_V4, RELAY,
                                               B_V4]),
                start_process(self, a.ns, [sender, "tun", str(seconds), str(seed + 1), a.tun])]
        counts = []
        for run in runs:
            status, out, err = finish(run, seconds + 60)
            self.assertEqual(status, 0, err)
            counts.append(sender_counts(out))
        return counts

    def test_flood(self):
        with netlab.Lab() as lab:
            a, b = two_sites(lab, self.options, self.options)
            attacker = self.attacker(lab, a)
            # IPv6 for the relay and IPv4 routed into A's tunnel, for the UDP
            # part of the tun flood.
            a.ns.run("ip", "route", "add", "3fff::/20", "dev", a.tun)
            a.ns.run("ip", "route", "add", "203.0.113.128/25", "dev", a.tun)
            sender = build_sender(lab)
            result = a.ping(B_V6)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

            capture = TunCapture(a.ns, a.tun)
            self.addCleanup(capture.close)

            # A short warm-up runs every path once, so that the memory
            # measured before the flood already holds all the code it uses.
            self.flood(a, attacker, sender, 1, 1)
            before = self.idle_snapshot(a)

            pings = [start_process(self, site.ns,
                                   ["ping", "-6", "-n", "-q", "-i", "0.2", "-w",
                                    str(max(1, int(self.seconds))), "-p", PING_PATTERN,
                                    "-I", site.v6, peer])
                     for site, peer in ((a, B_V6), (b, A_V6))]
            raw_sent, tun_sent = self.flood(a, attacker, sender, self.seconds, 7)
            for ping in pings:
                finish(ping, self.seconds + 60)

            after = self.idle_snapshot(a)
            seen, capture_drops = capture.close()
            self.assertTrue(a.daemon.running(), a.daemon.stderr()[-2000:])
            assert_forwarding(self, a, b)
            stats = {k: after["daemon"][k] - before["daemon"][k] for k in after["daemon"]}
            delivers = after["snmp"]["Ip"]["InDelivers"] - before["snmp"]["Ip"]["InDelivers"]
            drops = after["drops"] - before["drops"]
            undelivered = (after["snmp"]["Ip"]["InUnknownProtos"]
                           - before["snmp"]["Ip"]["InUnknownProtos"])
            received = delivers - (drops - undelivered)
            others = sum(after["snmp"][group][name] - before["snmp"][group][name]
                         for group, name in (("Icmp", "InMsgs"), ("Udp", "InDatagrams"),
                                             ("Udp", "NoPorts"), ("Udp", "InErrors"),
                                             ("UdpLite", "InDatagrams"), ("Tcp", "InSegs")))
            tun = {k: after["tun"][k] - before["tun"][k] for k in after["tun"]}
            spoofs = [p for _, p in capture.packets if MARKER in p]
            strangers = [p for _, p in capture.packets if not is_ping(p)]
            pings_in = len(capture.packets) - len(strangers)

            print("\nflood %.0f s: raw sender %s\n  tun sender %s\n"
                  "  A's raw socket: InDelivers %d, dropped at the full queue %d (%d of them"
                  " before delivery), received %d\n"
                  "  daemon inbound: Ipkts %d, Ierrs %d, Irjct %d; outbound: Opkts %d,"
                  " Oerrs %d, Orjct %d; tun frames read %d, written %d\n"
                  "  packets into A's tun: %d pings, %d others (%d spoofs), captured %d;"
                  " RSS %d kB -> %d kB"
                  % (self.seconds, raw_sent, tun_sent, delivers, drops, undelivered, received,
                     stats["Ipkts"], stats["Ierrs"], stats["Irjct"], stats["Opkts"],
                     stats["Oerrs"], stats["Orjct"], tun["tx_packets"], tun["rx_packets"],
                     pings_in, len(strangers), len(spoofs), seen, before["rss"], after["rss"]),
                  file=sys.stderr)

            self.assertEqual(capture_drops, 0, "the capture lost packets")
            self.assertEqual(seen, len(capture.packets))
            self.assertEqual(spoofs, [])
            self.assertEqual(strangers[:5], [])
            self.assertGreater(pings_in, 0, "no ping reached A's tun during the flood")
            self.assertEqual(others, 0, "deliveries other than protocol 41 in A's namespace")
            self.assertGreater(raw_sent["total"], 0)
            self.assertLessEqual(undelivered, drops, "unknown protocols other than early drops")
            self.assertEqual(stats["Ipkts"] + stats["Ierrs"] + stats["Irjct"], received)
            self.assertEqual(stats["Ipkts"], tun["rx_packets"])
            self.assertEqual(stats["Opkts"] + stats["Oerrs"] + stats["Orjct"], tun["tx_packets"])
            self.assertGreater(stats["Irjct"], 0)
            self.assertGreater(stats["Ierrs"], 0)
            self.assertGreater(stats["Orjct"], 0)
            self.assertGreater(stats["Oerrs"], 0)
            self.assertLessEqual(after["rss"] - before["rss"], RSS_GROWTH_KIB)


class FloodInBatches(Flood):
    """The same with -b 32 (batches and the tunnel device's offloads), for
    half as long."""

    options = ("-b", "32")
    seconds = FLOOD_SECONDS / 2


if __name__ == "__main__":
    unittest.main()
