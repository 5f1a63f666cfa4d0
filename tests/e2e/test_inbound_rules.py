# SPDX-License-Identifier: BSD-2-Clause
"""Inbound path over real interfaces: crafted protocol-41 datagrams from a peer.

A site namespace runs the daemon (192.0.2.1, relay 203.0.113.1, 6rd prefix
2001:db8::/32) in the foreground with one -d. A peer namespace, joined by a
veth, sends hand-made IPv4 datagrams with a raw socket whose IPv4 source it
chooses freely (rp_filter is off in the site, so spoofed sources arrive).
Each datagram must give exactly one trace line, and what reaches the tun
interface (an AF_PACKET capture on it) must be the IPv6 packet byte for byte,
or nothing at all when the datagram is refused or malformed.

"Nothing at all" is shown without waiting for a quiet period: a refused
datagram is followed by a marker datagram that is delivered. The raw socket
hands datagrams to the daemon in order, so once the marker is on the tun
interface, anything the refused datagram could have produced is there too.

Datagrams that Linux never hands to a raw socket cannot be tested over the
wire; their rules are covered by unit tests of the decision function:
- fewer than 20 bytes: the sending kernel refuses them (EINVAL), and a
  receiving kernel drops them;
- a header-length nibble under 5: refused on sending (EINVAL), dropped on
  receipt;
- a version other than 4, e.g. a first byte of 0x65 (version 6, header
  length 5): sent, but dropped by the receiving kernel;
- a header longer than the datagram, e.g. 59 bytes with the nibble 15:
  refused on sending (EINVAL); the sending kernel also always writes the
  true total length, and a receiving kernel drops a total length under the
  header length;
- a nibble of 15 without 40 bytes of well-formed options: dropped on
  receipt, since the options don't parse.
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import netlab  # noqa: E402
import packets  # noqa: E402
from packets import ipv4_header, ipv6_echo, ipv6_packet, ipv6_udp, nop_options  # noqa: E402
from sites import (ME, MY_V4, PEER_SITE, PEER_V4, RELAY, TraceCursor, site_and_peer,  # noqa: E402
                   start_daemon)

MARKER_LEN = 40 + 8 + 8  # IPv6 and UDP headers, 8 bytes of payload


class InboundLab:
    """Site with the daemon and a tun capture, peer with raw senders."""

    common_len = None
    options = ()  # more options for the daemon
    # The sender of the marker datagrams.
    marker_v4 = PEER_V4
    marker_source = PEER_SITE

    @classmethod
    def setUpClass(cls):
        lab = netlab.Lab()
        cls.addClassCleanup(lab.close)
        cls.site, cls.peer, _, _ = site_and_peer(lab, spoofed_sources=True)
        options = ["-F", "-d"] + (["-r", str(cls.common_len)] if cls.common_len else []) + \
            list(cls.options)
        cls.daemon, cls.tun = start_daemon(lab, cls.site, MY_V4, options)

        # No address and no route on the tun interface: the site's kernel
        # drops what the daemon delivers, so nothing comes back out.
        cls.capture = packets.Capture(cls.site, cls.tun)
        cls.addClassCleanup(cls.capture.close)
        cls.sender = packets.raw_ipv4_sender(cls.peer)
        cls.addClassCleanup(cls.sender.close)
        cls.markers = 0

    def send_raw(self, datagram):
        self.sender.sendto(datagram, (MY_V4, 0))

    def marker(self):
        """A datagram that is delivered, and its trace line and packet."""
        type(self).markers += 1
        packet = ipv6_udp(self.marker_source, self.marker_destination, b"m%07d" % self.markers)
        line = "in  %s %s %s n=17 s=%d" % (self.marker_destination, self.marker_source,
                                         self.marker_v4, len(packet))
        return ipv4_header(self.marker_v4, MY_V4, len(packet)) + packet, line, packet

    def incoming(self, frame):
        return frame.pkttype != packets.PACKET_OUTGOING

    def expect_delivered(self, send, line, packet):
        """send() puts one datagram on the wire; it must trace line and put
        exactly packet on the tun interface."""
        self.capture.drain()
        cursor = TraceCursor(self.daemon)
        send()
        frames = self.capture.until(self.incoming, what="the delivered packet")
        self.assertEqual(frames[-1].data, packet)
        self.assertEqual(cursor.lines(1), [line])

    def expect_dropped(self, send, line):
        """send() puts one datagram on the wire; it must trace line and put
        nothing on the tun interface."""
        marker, marker_line, marker_packet = self.marker()
        self.capture.drain()
        cursor = TraceCursor(self.daemon)
        send()
        self.send_raw(marker)
        frames = self.capture.until(lambda f: self.incoming(f) and f.data == marker_packet,
                                    what="the marker packet")
        self.assertEqual([f.data for f in frames if self.incoming(f)], [marker_packet])
        self.assertEqual(cursor.lines(2), [line, marker_line])

    def check_rows(self, rows):
        """rows: (IPv4 source, IPv6 source, IPv6 destination, refusal reason or
        None for delivered), each sent as a 64-byte echo request."""
        for v4_source, v6_source, v6_destination, reason in rows:
            with self.subTest(v4_source=v4_source, v6_source=v6_source,
                              v6_destination=v6_destination):
                packet = ipv6_echo(v6_source, v6_destination, 64)
                datagram = ipv4_header(v4_source, MY_V4, len(packet)) + packet
                if reason is None:
                    line = "in  %s %s %s n=58 s=64" % (v6_destination, v6_source, v4_source)
                    self.expect_delivered(lambda: self.send_raw(datagram), line, packet)
                else:
                    line = "raw2tun: %s (%s %s %s)" % (reason, v6_destination, v6_source,
                                                       v4_source)
                    self.expect_dropped(lambda: self.send_raw(datagram), line)


class DefaultDomain(InboundLab, unittest.TestCase):
    """No -r: the delegated prefix is 2001:db8:c000:201::/64."""

    marker_destination = ME

    def test_address_rules(self):
        # (IPv4 source, IPv6 source, IPv6 destination, reason or None for delivered)
        rows = [
            (PEER_V4, PEER_SITE, ME, None),
            ("203.0.113.9", PEER_SITE, ME, "embedded address differs from IPv4 source"),
            (RELAY, PEER_SITE, ME, "embedded address differs from IPv4 source"),
            # 10.0.0.1 only ever appears as the spoofed source of this datagram.
            ("10.0.0.1", "2001:db8:a00:1::1", ME, "reject IPv4 source"),
            (RELAY, "3fff::1", ME, None),
            (PEER_V4, "3fff::1", ME, "native address from non-relaying router"),
            (RELAY, "fe80::1", ME, "reject IPv6 source"),
            (PEER_V4, PEER_SITE, "2001:db8:c633:6407::2", "destination is not me"),
            # Beyond the table: a source rule and the destination rule both
            # broken give the source's reason; the relay may bring in a
            # source of global multicast scope, but none from ::/8.
            ("203.0.113.9", PEER_SITE, "2001:db8:c633:6407::2",
             "embedded address differs from IPv4 source"),
            (RELAY, "ff0e::1", ME, None),
            (RELAY, "::ffff:192.0.2.1", ME, "reject IPv6 source"),
        ]
        before = self.daemon.statistics()
        self.check_rows(rows)
        after = self.daemon.statistics()
        refused = sum(1 for row in rows if row[3])
        delivered = len(rows) - refused
        markers = refused  # one delivered marker of MARKER_LEN bytes per refusal
        self.assertEqual(after["Irjct"] - before["Irjct"], refused)
        self.assertEqual(after["Ipkts"] - before["Ipkts"], delivered + markers)
        self.assertEqual(after["Ierrs"] - before["Ierrs"], 0)
        self.assertEqual(after["Ibytes"] - before["Ibytes"], 64 * delivered + MARKER_LEN * markers)

    def test_worked_example_traces(self):
        packet = ipv6_echo(PEER_SITE, ME, 64)
        datagram = ipv4_header(PEER_V4, MY_V4, len(packet)) + packet
        self.expect_delivered(
            lambda: self.send_raw(datagram),
            "in  2001:db8:c000:201::10 2001:db8:c633:6407::1 198.51.100.7 n=58 s=64", packet)
        packet = ipv6_echo(PEER_SITE, "2001:db8:c633:6407::2", 64)
        datagram = ipv4_header(PEER_V4, MY_V4, len(packet)) + packet
        self.expect_dropped(
            lambda: self.send_raw(datagram),
            "raw2tun: destination is not me "
            "(2001:db8:c633:6407::2 2001:db8:c633:6407::1 198.51.100.7)")

    def test_header_and_packet_lengths(self):
        # (IPv4 option bytes, IPv6 packet length L, expected trace line or None
        # for delivered). 40 option bytes make the nibble 15 and H = 60; the
        # tunnel header is then written inside the options, which must not
        # show in what reaches the tun interface.
        whole = ipv6_packet(PEER_SITE, ME)  # 40 bytes, next header 59
        rows = [
            (0, 0, "raw2tun: no IPv6 header (0)"),         # n = 20
            (0, 39, "raw2tun: no IPv6 header (39)"),       # n = 59
            (0, 40, None),                                  # n = 60
            (4, 39, "raw2tun: no IPv6 header (39)"),       # H = 24
            (4, 40, None),
            (40, 0, "raw2tun: no IPv6 header (0)"),        # n = 60
            (40, 1, "raw2tun: no IPv6 header (1)"),
            (40, 39, "raw2tun: no IPv6 header (39)"),      # n = 99
            (40, 40, None),                                 # n = 100
            (40, 64, None),
        ]
        for option_len, length, line in rows:
            with self.subTest(options=option_len, L=length):
                if length <= 40:
                    packet = whole[:length]
                else:
                    packet = ipv6_echo(PEER_SITE, ME, length)
                datagram = ipv4_header(PEER_V4, MY_V4, len(packet),
                                       options=nop_options(option_len)) + packet
                if line is None:
                    line = "in  %s %s %s n=%d s=%d" % (ME, PEER_SITE, PEER_V4, packet[6], length)
                    self.expect_delivered(lambda: self.send_raw(datagram), line, packet)
                else:
                    self.expect_dropped(lambda: self.send_raw(datagram), line)

    def test_fields_not_examined(self):
        # Outer type of service, TTL and identification are not carried into
        # the IPv6 packet, and the IPv4 source is read at its place whatever
        # the header length.
        packet = ipv6_udp(PEER_SITE, ME, b"class stays", tclass=0)
        datagram = ipv4_header(PEER_V4, MY_V4, len(packet), tos=0xB8, ttl=1, ident=0xFFFF,
                               options=nop_options(40)) + packet
        self.expect_delivered(lambda: self.send_raw(datagram),
                              "in  %s %s %s n=17 s=%d" % (ME, PEER_SITE, PEER_V4, len(packet)),
                              packet)
        packet = ipv6_echo(PEER_SITE, ME, 64)
        datagram = ipv4_header("203.0.113.9", MY_V4, len(packet),
                               options=nop_options(40)) + packet
        self.expect_dropped(lambda: self.send_raw(datagram),
                            "raw2tun: embedded address differs from IPv4 source "
                            "(%s %s 203.0.113.9)" % (ME, PEER_SITE))

    def test_datagram_size_limit(self):
        # A plain protocol-41 socket lets the peer's kernel build the header
        # and fragment on the veth (MTU 1500); the site's kernel reassembles.
        # A 2048-byte datagram fills the daemon's buffer and is refused as
        # possibly cut; 2047 bytes is the largest one handled.
        sender = packets.proto41_socket(self.peer, PEER_V4)
        self.addCleanup(sender.close)
        largest = ipv6_echo(PEER_SITE, ME, 2047 - 20)
        self.expect_delivered(lambda: sender.sendto(largest, (MY_V4, 0)),
                              "in  %s %s %s n=58 s=2027" % (ME, PEER_SITE, PEER_V4), largest)
        for size in (2048, 2100):
            with self.subTest(datagram=size):
                packet = ipv6_echo(PEER_SITE, ME, size - 20)
                self.expect_dropped(lambda: sender.sendto(packet, (MY_V4, 0)),
                                    "raw2tun: packet too big")


class CommonBits(InboundLab, unittest.TestCase):
    """-r 8: the first 8 bits of every IPv4 address of the domain are those of
    192.0.2.1, and the delegated prefix is 2001:db8:2:100::/56. The peer site
    192.0.2.77 has 2001:db8:2:4d00::/56."""

    common_len = 8
    marker_v4 = "192.0.2.77"
    marker_source = "2001:db8:2:4d00::1"
    marker_destination = "2001:db8:2:1ff::1"

    def test_address_rules(self):
        rows = [
            ("192.0.2.77", "2001:db8:2:4d00::1", "2001:db8:2:1ff::1", None),
            ("192.0.2.77", "2001:db8:2:4d00::1", "2001:db8:2:100::10", None),
            ("198.51.100.7", "2001:db8:2:4d00::1", "2001:db8:2:1ff::1",
             "embedded address differs from IPv4 source"),
            ("192.0.2.77", "2001:db8:2:4d00::1", ME, "destination is not me"),
            (RELAY, "3fff::1", "2001:db8:2:1ff::1", None),
        ]
        self.check_rows(rows)


class Batches(DefaultDomain):
    """The same with -b 32: batches and the tunnel device's offloads."""

    options = ("-b", "32")


if __name__ == "__main__":
    unittest.main()
