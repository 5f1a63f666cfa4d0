# SPDX-License-Identifier: BSD-2-Clause
"""The eight counters and the signals, seen from outside the daemon.

The report asked for with SIGUSR1 is logged at LOG_INFO and, with -F, also
written to standard error, where these tests read it.

Kernel chatter: a new tun interface gets a link-local address and the kernel
sends router solicitations from it, which enter the tun interface and are
refused as "source is not me". Nothing else was seen on a tun interface: it
has no link layer (NOARP), so the kernel runs no duplicate address detection
on it and joins no solicited-node groups, hence sends no MLD reports. Tests
that count exactly therefore call Namespace.quiet_ipv6() before the daemon
makes its interface (no link-local address, no solicitations) and add their
own addresses with nodad.
"""

import os
import re
import signal
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import netlab  # noqa: E402
import packets  # noqa: E402
from packets import ipv4_header, ipv6_echo, ipv6_packet, nop_options  # noqa: E402
from sites import (ME, MY_V4, NOT_ME, PEER_SITE, PEER_V4, RELAY, TraceCursor,  # noqa: E402
                   address_tun, site_and_peer, start_daemon)

IPV4_INTO_TUN = "203.0.113.50"  # routed into the tun interface by the site
IDENT = os.path.basename(netlab.BINARY)
REPORT = ("%s: Ipkts %d, Ierrs %d, Irjct %d, Ibytes %d, Opkts %d, Oerrs %d, Orjct %d, "
          "Obytes %d")


def bare_site(lab, options=("-F", "-d")):
    """A site with the kernel's default settings, its daemon started, and
    another namespace at the far end of its veth; returns (site, daemon, tun)."""
    site, other = lab.namespace("site"), lab.namespace("o")
    lab.veth(site, MY_V4, other, None)
    daemon, tun = start_daemon(lab, site, MY_V4, options)
    return site, daemon, tun


class KernelChatter(unittest.TestCase):
    def test_router_solicitations_count_as_refused(self):
        with netlab.Lab() as lab:
            site, daemon, tun = bare_site(lab)
            line = netlab.wait_for(
                lambda: re.search(r"^tun2raw: source is not me \((fe80::[0-9a-f:]+) ff02::2\)$",
                                  daemon.stderr(), re.M),
                timeout=20, what="a router solicitation")
            self.assertIn("inet6 %s/64 scope link" % line.group(1),
                          site.run("ip", "-6", "addr", "show", tun).stdout)
            stats = daemon.statistics()
            # Every refusal traced before the report is in it, and nothing else.
            text = daemon.stderr()
            before_report = text[:text.index(": Ipkts ")]
            refused = before_report.count("tun2raw: source is not me (")
            self.assertGreaterEqual(refused, 1)
            self.assertEqual(stats, {"Ipkts": 0, "Ierrs": 0, "Irjct": 0, "Ibytes": 0,
                                     "Opkts": 0, "Oerrs": 0, "Orjct": refused, "Obytes": 0})


class KnownMix(unittest.TestCase):
    """A quiet site, and a peer that holds the other site and the relay."""

    options = ("-F", "-d")

    def setUp(self):
        lab = netlab.Lab()
        self.addCleanup(lab.close)
        self.site, self.peer, _, _ = site_and_peer(lab, (RELAY,))
        self.daemon, self.tun = start_daemon(lab, self.site, MY_V4, self.options)
        address_tun(self.site, self.tun, (ME + "/64", NOT_ME + "/64"))
        self.site.run("ip", "route", "add", IPV4_INTO_TUN + "/32", "dev", self.tun)
        self.sink = packets.proto41_socket(self.peer)
        self.addCleanup(self.sink.close)
        self.raw = packets.raw_ipv4_sender(self.peer)
        self.addCleanup(self.raw.close)
        self.plain = packets.proto41_socket(self.peer, PEER_V4)
        self.addCleanup(self.plain.close)

    def inbound(self, v4_source, packet, options=b""):
        datagram = ipv4_header(v4_source, MY_V4, len(packet), options=options) + packet
        return lambda: self.raw.sendto(datagram, (MY_V4, 0))

    def outbound_udp(self, source, destination, payload):
        return lambda: packets.send_udp(self.site, destination, 9, payload, source)

    def report_lines(self, cursor, signals):
        for signum in signals:
            self.daemon.signal(signum)
        return cursor.lines(1)

    def test_counts_and_signals(self):
        cursor = TraceCursor(self.daemon)
        zero = REPORT % ((IDENT,) + (0,) * 8)
        self.assertEqual(self.report_lines(cursor, [signal.SIGUSR1]), [zero])

        # Next header 59: the site's kernel takes the delivered packets
        # without answering them.
        steps = [
            (self.inbound(PEER_V4, ipv6_packet(PEER_SITE, ME)),
             "in  %s %s %s n=59 s=40" % (ME, PEER_SITE, PEER_V4)),
            (self.inbound(RELAY, ipv6_packet("3fff::1", ME, payload=bytes(60))),
             "in  %s 3fff::1 %s n=59 s=100" % (ME, RELAY)),
            (self.inbound("203.0.113.9", ipv6_packet(PEER_SITE, ME)),
             "raw2tun: embedded address differs from IPv4 source (%s %s 203.0.113.9)"
             % (ME, PEER_SITE)),
            (self.inbound(PEER_V4, ipv6_packet("3fff::1", ME)),
             "raw2tun: native address from non-relaying router (%s 3fff::1 %s)"
             % (ME, PEER_V4)),
            (self.inbound(PEER_V4, ipv6_packet(PEER_SITE, "2001:db8:c633:6407::2")),
             "raw2tun: destination is not me (2001:db8:c633:6407::2 %s %s)"
             % (PEER_SITE, PEER_V4)),
            (self.inbound(PEER_V4, ipv6_packet(PEER_SITE, ME)[:39]),
             "raw2tun: no IPv6 header (39)"),
            (self.inbound(PEER_V4, b"", nop_options(40)), "raw2tun: no IPv6 header (0)"),
            (lambda: self.plain.sendto(ipv6_echo(PEER_SITE, ME, 2028), (MY_V4, 0)),
             "raw2tun: packet too big"),
            (self.outbound_udp(ME, PEER_SITE, b"hello"),
             "out %s %s n=17 s=53" % (ME, PEER_SITE)),
            (self.outbound_udp(ME, PEER_SITE, bytes(1232)),
             "out %s %s n=17 s=1280" % (ME, PEER_SITE)),
            (self.outbound_udp(NOT_ME, PEER_SITE, b"x"),
             "tun2raw: source is not me (%s %s)" % (NOT_ME, PEER_SITE)),
            (self.outbound_udp(ME, "2001:db8:a00:1::1", b"x"),
             "tun2raw: reject IPv4 destination (%s 2001:db8:a00:1::1)" % ME),
            (self.outbound_udp(None, IPV4_INTO_TUN, b"x"), "tun: non-IPv6 packet (2)"),
        ]
        for send, line in steps:
            with self.subTest(line=line):
                send()
                self.assertEqual(cursor.lines(1), [line])

        expected = REPORT % (IDENT, 2, 3, 3, 140, 2, 1, 2, 1333)
        self.assertEqual(self.report_lines(cursor, [signal.SIGUSR1]), [expected])
        # Without traffic in between, the same report again.
        self.assertEqual(self.report_lines(cursor, [signal.SIGUSR1]), [expected])
        # SIGHUP does nothing and logs nothing: the next line on standard
        # error is the next report, unchanged. SIGHUP is caught first (a lower
        # number, and sent first), so its record precedes the report's.
        self.assertEqual(self.report_lines(cursor, [signal.SIGHUP, signal.SIGUSR1]), [expected])
        self.assertTrue(self.daemon.running())

        self.daemon.signal(signal.SIGTERM)
        self.assertEqual(self.daemon.wait(), 0)
        self.assertEqual(self.daemon.stderr()[cursor.offset:], "%s: ferrin/1.6 exiting\n" % IDENT)
        # The interface lives as long as the daemon's descriptor.
        netlab.wait_for(lambda: not self.site.link_exists(self.tun),
                        what="the tun interface to go")


class KnownMixInBatches(KnownMix):
    """The same with -b 32: batches and the tunnel device's offloads."""

    options = ("-F", "-d", "-b", "32")


class Stop(unittest.TestCase):
    def test_stop_signals(self):
        with netlab.Lab() as lab:
            for signum in (signal.SIGTERM, signal.SIGINT):
                with self.subTest(signal=signum.name):
                    _, daemon, _ = bare_site(lab, ("-F",))
                    daemon.signal(signum)
                    self.assertEqual(daemon.wait(), 0)
                    self.assertEqual(daemon.stderr(), "%s: ferrin/1.6 started\n"
                                     "%s: ferrin/1.6 exiting\n" % (IDENT, IDENT))
                    self.assertEqual(daemon.stdout(), "")


if __name__ == "__main__":
    unittest.main()
