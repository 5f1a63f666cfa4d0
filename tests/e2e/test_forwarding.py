# SPDX-License-Identifier: BSD-2-Clause
"""Two sites of one 6rd domain talk to each other through their daemons.

Each site is a namespace with its own daemon and tun interface, set up as an
operator would: the site's IPv6 address on the tun interface (nodad) and a
route for the whole domain, 2001:db8::/32, into it. The two namespaces are
joined by a veth that carries only IPv4. Real ping and real UDP sockets go
both ways; the daemons' counters (SIGUSR1 reports) must move by exactly the
packets and bytes that crossed.

The namespaces are kept free of the kernel's own IPv6 chatter (no link-local
addresses, no router solicitations), so that the counters move only with the
test's traffic.
"""

import hashlib
import os
import re
import socket
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import netlab  # noqa: E402
import packets  # noqa: E402
from sites import Site  # noqa: E402

FRAGMENT_DATA = 1280 - 40 - 8  # per fragment at the tun MTU, a multiple of 8


def delta(before, after):
    return {name: after[name] - before[name] for name in after}


def counters(opkts=0, obytes=0, ipkts=0, ibytes=0):
    return {"Ipkts": ipkts, "Ierrs": 0, "Irjct": 0, "Ibytes": ibytes,
            "Opkts": opkts, "Oerrs": 0, "Orjct": 0, "Obytes": obytes}


class ForwardingLab:
    common_len = None
    options = ()  # more options for both daemons
    sites = ()  # two (IPv4 address, IPv6 address, prefix length on the tun interface)

    @classmethod
    def setUpClass(cls):
        lab = netlab.Lab()
        cls.addClassCleanup(lab.close)
        options = (["-r", str(cls.common_len)] if cls.common_len else []) + list(cls.options)
        cls.a, cls.b = (Site(lab, v4, v6, plen, options) for v4, v6, plen in cls.sites)
        veth_a, veth_b = lab.veth(cls.a.ns, cls.a.v4, cls.b.ns, cls.b.v4)
        for site, veth in ((cls.a, veth_a), (cls.b, veth_b)):
            site.ns.run("ip", "route", "add", "default", "dev", veth)
            site.start()

    def both_ways(self):
        return ((self.a, self.b), (self.b, self.a))

    def measure(self, action, first, second):
        """Runs action; returns the counter changes of the two sites' daemons,
        in the order given."""
        before = (first.daemon.statistics(), second.daemon.statistics())
        action()
        after = (first.daemon.statistics(), second.daemon.statistics())
        return delta(before[0], after[0]), delta(before[1], after[1])

    def test_ping(self):
        for source, target in self.both_ways():
            with self.subTest(source=source.v6, target=target.v6):
                def ping():
                    # No deadline: exactly three requests, each given 5 s.
                    result = source.ping(target.v6)
                    self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                    self.assertRegex(result.stdout, r"3 packets transmitted, 3 received")
                    self.assertEqual(len(re.findall(r"bytes from %s: icmp_seq=\d" % target.v6,
                                                    result.stdout)), 3)
                moved = self.measure(ping, source, target)
                # 56 bytes of data: IPv6 packets of 104 bytes each way.
                traffic = counters(opkts=3, obytes=312, ipkts=3, ibytes=312)
                self.assertEqual(moved, (traffic, traffic))

    def test_udp(self):
        for source, target in self.both_ways():
            with self.subTest(source=source.v6, target=target.v6):
                sender, receiver = source.udp_socket(self), target.udp_socket(self)
                payload = os.urandom(1000)
                answer = os.urandom(333)

                def exchange():
                    sender.sendto(payload, receiver.getsockname())
                    data, peer = receiver.recvfrom(65535)
                    self.assertEqual(data, payload)
                    self.assertEqual(peer[:2], sender.getsockname()[:2])
                    receiver.sendto(answer, peer)
                    data, peer = sender.recvfrom(65535)
                    self.assertEqual(data, answer)
                    self.assertEqual(peer[:2], receiver.getsockname()[:2])
                moved = self.measure(exchange, source, target)
                there, back = 48 + len(payload), 48 + len(answer)
                self.assertEqual(moved, (
                    counters(opkts=1, obytes=there, ipkts=1, ibytes=back),
                    counters(opkts=1, obytes=back, ipkts=1, ibytes=there)))

    def test_udp_fragmented(self):
        # Larger than the tun MTU of 1280: the sending kernel fragments the
        # IPv6 packet, every fragment crosses on its own, and the receiving
        # kernel puts the payload back together.
        sender, receiver = self.a.udp_socket(self), self.b.udp_socket(self)
        payload = os.urandom(3000)

        def send():
            sender.sendto(payload, receiver.getsockname())
            self.assertEqual(receiver.recvfrom(65535)[0], payload)
        moved = self.measure(send, self.a, self.b)
        datagram = 8 + len(payload)
        fragments = -(-datagram // FRAGMENT_DATA)
        sent_bytes = datagram + fragments * 48
        self.assertEqual(moved, (counters(opkts=fragments, obytes=sent_bytes),
                                 counters(ipkts=fragments, ibytes=sent_bytes)))


    def test_tcp(self):
        # A few MiB one way, as fast as TCP goes: both daemons see every
        # segment, and the bytes arrive as sent.
        data = os.urandom(6 << 20)
        listener = packets.socket_in(self.b.ns, socket.AF_INET6, socket.SOCK_STREAM)
        self.addCleanup(listener.close)
        listener.settimeout(30)
        listener.bind((self.b.v6, 0))
        listener.listen(1)
        received = []

        def receive():
            conn, _ = listener.accept()
            with conn:
                conn.settimeout(30)
                digest, total = hashlib.sha256(), 0
                while chunk := conn.recv(1 << 20):
                    digest.update(chunk)
                    total += len(chunk)
                received.append((total, digest.hexdigest()))
        receiver = threading.Thread(target=receive)
        receiver.start()
        before = self.device_counters()
        counted = (self.a.daemon.statistics(), self.b.daemon.statistics())
        sender = packets.socket_in(self.a.ns, socket.AF_INET6, socket.SOCK_STREAM)
        with sender:
            sender.settimeout(30)
            sender.bind((self.a.v6, 0))
            sender.connect(listener.getsockname())
            sender.sendall(data)
            sender.shutdown(socket.SHUT_WR)
            receiver.join(60)
        self.assertFalse(receiver.is_alive())
        self.assertEqual(received, [(len(data), hashlib.sha256(data).hexdigest())])

        # Every segment one daemon sent, the other delivered, once the last
        # segments of the closing have crossed; nothing refused or failed.
        def crossed():
            a = delta(counted[0], self.a.daemon.statistics())
            b = delta(counted[1], self.b.daemon.statistics())
            return ((a["Opkts"], a["Obytes"], b["Opkts"], b["Obytes"]) ==
                    (b["Ipkts"], b["Ibytes"], a["Ipkts"], a["Ibytes"])) and (a, b)
        a, b = netlab.wait_for(crossed, 10, what="the counters of both daemons to agree")
        self.assertGreater(a["Opkts"], len(data) // 1280)
        for side in (a, b):
            self.assertEqual([side[k] for k in ("Ierrs", "Irjct", "Oerrs", "Orjct")], [0] * 4)
        self.check_devices(before, self.device_counters(), a["Opkts"], b["Ipkts"])

    def device_counters(self):
        """(packets the sender's tun interface passed to its daemon, packets
        the receiver's daemon wrote to its tun interface), as the kernel counts them."""
        def count(site, name):
            return int(site.ns.run("cat", "/sys/class/net/%s/statistics/%s" % (site.tun, name))
                       .stdout)
        return count(self.a, "tx_packets"), count(self.b, "rx_packets")

    def check_devices(self, before, after, sent, delivered):
        pass


class DefaultDomain(ForwardingLab, unittest.TestCase):
    """Sites 192.0.2.1 (2001:db8:c000:201::/64) and 198.51.100.7
    (2001:db8:c633:6407::/64)."""

    sites = (("192.0.2.1", "2001:db8:c000:201::1", 64),
             ("198.51.100.7", "2001:db8:c633:6407::1", 64))


class CommonBits(ForwardingLab, unittest.TestCase):
    """-r 8 on both daemons: sites 192.0.2.1 (2001:db8:2:100::/56) and
    192.0.2.77 (2001:db8:2:4d00::/56)."""

    common_len = 8
    sites = (("192.0.2.1", "2001:db8:2:100::1", 56),
             ("192.0.2.77", "2001:db8:2:4d00::1", 56))


class Batches(DefaultDomain):
    """The same with -b 32: batches and the tunnel device's offloads."""

    options = ("-b", "32")

    def check_devices(self, before, after, sent, delivered):
        # The sending host hands its daemon super-packets, which leave as
        # segments; the receiving daemon hands its host runs of segments.
        handed_over, written = after[0] - before[0], after[1] - before[1]
        self.assertLess(handed_over * 4, sent)
        self.assertLess(written * 2, delivered)


if __name__ == "__main__":
    unittest.main()
