# SPDX-License-Identifier: BSD-2-Clause
"""Outbound path over real interfaces: IPv6 into the tun interface, IPv4 on the wire.

A site namespace runs the daemon (192.0.2.1, relay 203.0.113.1, 6rd prefix
2001:db8::/32) in the foreground with one -d, and is set up as an operator
would: addresses on the tun interface (nodad), 2001:db8::/32 and the default
IPv6 route into it. Applications in the site send real UDP; the kernel routes
it into the tun interface, where a capture records the exact IPv6 packet. A
peer namespace beyond the veth holds the other site's and the relay's IPv4
addresses and captures every Ethernet frame, so each outer datagram is
checked field by field and its payload compared with the packet from the tun
interface.

"Nothing on the wire" is shown without waiting for a quiet period: a refused
packet is followed by a marker packet that is sent. The tun interface hands
packets to the daemon in order, so once the marker is on the wire, anything
the refused packet could have produced is there too.
"""

import os
import socket
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import netlab  # noqa: E402
import packets  # noqa: E402
from sites import (ME, MY_V4, NOT_ME, PEER_SITE, PEER_V4, RELAY, TraceCursor,  # noqa: E402
                   address_tun, site_and_peer, start_daemon)

TCLASS = 0xB8
WIRE_MTU = 2100


class OutboundLab:
    """Site with the daemon, addresses and routes; peer with the far ends."""

    common_len = None
    options = ()  # more options for the daemon
    offloads = False  # the host leaves UDP checksums to the daemon
    site_addresses = ()  # (address/length) on the tun interface
    peer_addresses = ()  # extra IPv4 addresses of the peer, beside PEER_V4 and RELAY

    @classmethod
    def setUpClass(cls):
        lab = netlab.Lab()
        cls.addClassCleanup(lab.close)
        cls.site, cls.peer, site_if, cls.peer_if = site_and_peer(
            lab, (RELAY,) + cls.peer_addresses)
        cls.site.run("ip", "link", "set", site_if, "mtu", str(WIRE_MTU))
        cls.peer.run("ip", "link", "set", cls.peer_if, "mtu", str(WIRE_MTU))

        options = ["-F", "-d"] + (["-r", str(cls.common_len)] if cls.common_len else []) + \
            list(cls.options)
        cls.daemon, cls.tun = start_daemon(lab, cls.site, MY_V4, options)
        address_tun(cls.site, cls.tun, cls.site_addresses)
        cls.site.run("ip", "-6", "route", "add", "default", "dev", cls.tun)
        cls.tun_index = packets.if_index(cls.site, cls.tun)

        cls.wire = packets.Capture(cls.peer, cls.peer_if, packets.ETH_P_IP)
        cls.addClassCleanup(cls.wire.close)
        cls.tun_capture = packets.Capture(cls.site, cls.tun)
        cls.addClassCleanup(cls.tun_capture.close)
        # Takes the datagrams in the peer, so that its kernel does not answer
        # them with protocol-unreachable errors.
        cls.sink = packets.proto41_socket(cls.peer)
        cls.addClassCleanup(cls.sink.close)
        cls.tokens = 0

    def token(self):
        type(self).tokens += 1
        return b"t%07d" % self.tokens

    def udp_sender(self, source):
        sock = packets.socket_in(self.site, socket.AF_INET6, socket.SOCK_DGRAM)
        self.addCleanup(sock.close)
        sock.setsockopt(packets.SOL_IPV6, packets.IPV6_TCLASS, TCLASS)
        sock.bind((source, 0))
        return sock

    def send_udp(self, source, destination, payload):
        scope = self.tun_index if destination.startswith("fe80:") else 0
        self.udp_sender(source).sendto(payload, (destination, 9, 0, scope))

    def into_tun(self, payload):
        """The packet carrying payload, as the kernel put it into the tun
        interface; with offloads, as the daemon completes it."""
        def carries(frame):
            return (frame.pkttype == packets.PACKET_OUTGOING and frame.data[0] >> 4 == 6
                    and frame.data.endswith(payload))
        packet = self.tun_capture.until(carries, what="%r into the tun interface" % payload)[-1].data
        return packets.completed(packet) if self.offloads else packet

    def check_outer(self, datagram, packet, destination):
        """The outer datagram carries packet to destination, field by field."""
        outer = packets.parse_ipv4(datagram)
        self.assertEqual(datagram[0], 0x45)
        self.assertEqual(outer.tos, packets.parse_ipv6(packet).tclass)
        self.assertEqual(outer.total_length, len(packet) + 20)
        self.assertEqual(len(datagram), len(packet) + 20)
        self.assertEqual(outer.flags_offset, 0)
        self.assertEqual(outer.ttl, 255)
        self.assertEqual(outer.proto, 41)
        self.assertTrue(packets.ipv4_header_valid(datagram), "bad header checksum")
        self.assertNotEqual(outer.checksum, 0)
        self.assertEqual(outer.src, MY_V4)
        self.assertEqual(outer.dst, destination)
        self.assertEqual(outer.payload, packet)

    def expect_sent(self, send, payload, destination):
        """send() makes one IPv6 packet ending in payload; it must leave as an
        outer datagram to destination. Returns the IPv6 packet."""
        self.wire.drain()
        self.tun_capture.drain()
        cursor = TraceCursor(self.daemon)
        send()
        packet = self.into_tun(payload)
        frames = self.wire.until(lambda f: packets.proto41(f) is not None,
                                 what="a datagram on the wire")
        self.check_outer(packets.proto41(frames[-1]), packet, destination)
        ipv6 = packets.parse_ipv6(packet)
        self.assertEqual(cursor.lines(1), ["out %s %s n=%d s=%d" % (
            ipv6.src, ipv6.dst, ipv6.next_header, len(packet))])
        return ipv6

    def expect_refused(self, send, line):
        """send() makes one IPv6 packet; it must trace line and leave nothing
        on the wire."""
        self.wire.drain()
        cursor = TraceCursor(self.daemon)
        send()
        marker = self.token()
        self.send_udp(self.marker_source, self.marker_destination, marker)
        frames = self.wire.until(
            lambda f: packets.proto41(f) is not None and packets.proto41(f).endswith(marker),
            what="the marker datagram")
        self.assertEqual(len([f for f in frames if packets.proto41(f) is not None]), 1)
        self.assertEqual(cursor.lines(2), [line, "out %s %s n=17 s=%d" % (
            self.marker_source, self.marker_destination, 48 + len(marker))])

    def check_rows(self, rows):
        """rows: (IPv6 source, IPv6 destination, IPv4 destination or refusal reason)."""
        for source, destination, outcome in rows:
            with self.subTest(source=source, destination=destination):
                payload = self.token()

                def send():
                    self.send_udp(source, destination, payload)
                if outcome[0].isdigit():
                    ipv6 = self.expect_sent(send, payload, outcome)
                    self.assertEqual((ipv6.src, ipv6.dst, ipv6.tclass, ipv6.next_header),
                                     (source, destination, TCLASS, packets.PROTO_UDP))
                    self.assertEqual(packets.udp_payload(ipv6)[2], payload)
                else:
                    self.expect_refused(send, "tun2raw: %s (%s %s)" % (outcome, source,
                                                                       destination))


class DefaultDomain(OutboundLab, unittest.TestCase):
    """No -r: the delegated prefix is 2001:db8:c000:201::/64."""

    site_addresses = (ME + "/64", NOT_ME + "/64")
    marker_source = ME
    marker_destination = PEER_SITE

    def test_address_rules(self):
        self.check_rows([
            (ME, PEER_SITE, PEER_V4),
            (ME, "3fff::1", RELAY),
            (ME, "2001:db8:a00:1::1", "reject IPv4 destination"),  # extracts 10.0.0.1
            (ME, "fe80::1", "reject IPv6 destination"),
            (NOT_ME, PEER_SITE, "source is not me"),
            # Beyond the table: the source rule comes first whatever the
            # destination, and loopback is refused as an extracted address.
            (NOT_ME, "2001:db8:a00:1::1", "source is not me"),
            (NOT_ME, "3fff::1", "source is not me"),
            (ME, "2001:db8:7f00:1::1", "reject IPv4 destination"),  # extracts 127.0.0.1
        ])

    def test_worked_example_traces(self):
        # A 64-byte ICMPv6 echo request, made whole by the site's kernel.
        sock = packets.socket_in(self.site, socket.AF_INET6, socket.SOCK_RAW,
                                 packets.PROTO_ICMPV6)
        self.addCleanup(sock.close)
        sock.bind((ME, 0))
        payload = b"sixty-four bytes"
        message = bytes([128, 0, 0, 0, 0x12, 0x34, 0, 1]) + payload
        cursor_offset = len(self.daemon.stderr())
        ipv6 = self.expect_sent(lambda: sock.sendto(message, (PEER_SITE, 0)), payload, PEER_V4)
        self.assertEqual(self.daemon.stderr()[cursor_offset:].splitlines(),
                         ["out 2001:db8:c000:201::10 2001:db8:c633:6407::1 n=58 s=64"])
        self.assertEqual(ipv6.payload_length, 24)
        self.expect_refused(
            lambda: self.send_udp(ME, "2001:db8:a00:1::1", b"x"),
            "tun2raw: reject IPv4 destination (2001:db8:c000:201::10 2001:db8:a00:1::1)")

    def test_packet_sizes(self):
        # The largest read the daemon forwards is 2027 bytes (L = 2023); one
        # more fills its buffer and counts as possibly cut. The tun MTU is
        # raised, as an operator may, so that such packets get in whole.
        self.site.run("ip", "link", "set", self.tun, "mtu", "2100")
        self.addCleanup(self.site.run, "ip", "link", "set", self.tun, "mtu", "1280")
        for length in (40 + 8 + 8, 1280, 2023):
            with self.subTest(L=length):
                payload = self.token() + bytes(length - 48 - 8)
                ipv6 = self.expect_sent(lambda: self.send_udp(ME, PEER_SITE, payload),
                                        payload, PEER_V4)
                self.assertEqual(ipv6.payload_length + 40, length)
        payload = bytes(2024 - 48)
        self.expect_refused(lambda: self.send_udp(ME, PEER_SITE, payload),
                            "tun2raw: packet too big")

    def test_own_prefix_goes_to_own_address(self):
        # A destination in the site's own delegated prefix extracts to
        # 192.0.2.1: the datagram is sent to the site itself and comes back
        # in through the raw socket, where the rules accept it.
        destination = "2001:db8:c000:201::99"
        payload = self.token()
        self.tun_capture.drain()
        cursor = TraceCursor(self.daemon)
        self.send_udp(ME, destination, payload)
        packet = self.into_tun(payload)
        back = self.tun_capture.until(lambda f: f.pkttype != packets.PACKET_OUTGOING,
                                      what="the packet coming back")[-1]
        self.assertEqual(back.data, packet)
        self.assertEqual(cursor.lines(2), [
            "out %s %s n=17 s=%d" % (ME, destination, len(packet)),
            "in  %s %s %s n=17 s=%d" % (destination, ME, MY_V4, len(packet))])


class CommonBits(OutboundLab, unittest.TestCase):
    """-r 8: the delegated prefix is 2001:db8:2:100::/56, and the site
    192.0.2.77 (2001:db8:2:4d00::/56) is reached directly."""

    common_len = 8
    site_addresses = ("2001:db8:2:101::10/56", ME + "/64")
    peer_addresses = ("192.0.2.77",)
    marker_source = "2001:db8:2:101::10"
    marker_destination = "2001:db8:2:4d00::1"

    def test_address_rules(self):
        self.check_rows([
            ("2001:db8:2:101::10", "2001:db8:2:4d00::1", "192.0.2.77"),
            ("2001:db8:2:101::10", "3fff::1", RELAY),
            (ME, "2001:db8:2:4d00::1", "source is not me"),
            ("2001:db8:2:101::10", "fe80::1", "reject IPv6 destination"),
        ])


class Batches(DefaultDomain):
    """The same with -b 32: batches and the tunnel device's offloads."""

    options = ("-b", "32")
    offloads = True


if __name__ == "__main__":
    unittest.main()
