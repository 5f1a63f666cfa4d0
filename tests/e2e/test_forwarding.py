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

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import netlab  # noqa: E402
from sites import Site  # noqa: E402

FRAGMENT_DATA = 1280 - 40 - 8  # per fragment at the tun MTU, a multiple of 8


def delta(before, after):
    return {name: after[name] - before[name] for name in after}


def counters(opkts=0, obytes=0, ipkts=0, ibytes=0):
    return {"Ipkts": ipkts, "Ierrs": 0, "Irjct": 0, "Ibytes": ibytes,
            "Opkts": opkts, "Oerrs": 0, "Orjct": 0, "Obytes": obytes}


class ForwardingLab:
    common_len = None
    sites = ()  # two (IPv4 address, IPv6 address, prefix length on the tun interface)

    @classmethod
    def setUpClass(cls):
        lab = netlab.Lab()
        cls.addClassCleanup(lab.close)
        options = ["-r", str(cls.common_len)] if cls.common_len else []
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


if __name__ == "__main__":
    unittest.main()
