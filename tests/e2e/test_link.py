# SPDX-License-Identifier: BSD-2-Clause
"""The link endpoints of the real daemon in a network namespace: the tunnel
interface it attaches to and configures, the limits on the interface name,
the raw socket's own address, and the translation of the kernel's tun
packet-information header on real frames in both directions.
"""

import errno
import os
import socket
import unittest

import netlab
import packets
from cli_helpers import (IDENTITY, IFF_ALLMULTI, IFF_MULTICAST, IFF_NOARP, IFF_POINTOPOINT,
                         IFF_RUNNING, IFF_UP, MY_V4, RELAY, RelayNamespace, dump_blocks,
                         fixed_name, interface_state, resolver_error, run_watching_links)
from packets import ipv4_header, ipv6_packet
from sites import PREFIX, address_tun

# With the prefix above and 192.0.2.1, this site's delegated prefix.
SITE_ADDRESS = "2001:db8:c000:201::1"
# A site of the domain whose IPv6 addresses embed the relay's 192.0.2.2.
PEER_SITE_ADDRESS = "2001:db8:c000:202::1"

TUN_TYPE_TUN = 0x0001
TUN_NO_PI = 0x1000
TUN_PERSIST = 0x0800
TUN_VNET_HDR = 0x4000


class LinkEndpoints(RelayNamespace, unittest.TestCase):

    tags = ("lks", "lkp", "lk")

    def stop(self, daemon):
        self.assertEqual(daemon.stop(), 0)
        self.assertTrue(daemon.stderr().endswith("%s: %s exiting\n" % (self.name, IDENTITY)),
                        daemon.stderr())

    def running_state(self, tun):
        """The interface's state once the kernel reports it running: Linux
        derives IFF_RUNNING from the operational state, which it updates
        shortly after the interface comes up."""
        return netlab.wait_for(
            lambda: (lambda state: state if state[0] & IFF_RUNNING else None)(
                interface_state(self.site, tun)),
            timeout=10, interval=0.05, what="%s to be running" % tun)

    def test_new_interface_is_configured(self):
        tun = fixed_name("t", 15)  # the longest name an interface can have
        self.assertEqual(len(tun), 15)
        self.assertFalse(self.site.link_exists(tun))
        daemon = self.start([], tun)
        flags, mtu, tun_flags = self.running_state(tun)
        self.assertEqual(mtu, 1280)
        self.assertEqual(flags & (IFF_UP | IFF_RUNNING), IFF_UP | IFF_RUNNING)
        # The kernel's own flags of a new tun interface are left as they were.
        for flag in (IFF_POINTOPOINT, IFF_NOARP, IFF_MULTICAST):
            self.assertTrue(flags & flag, hex(flags))
        # A layer-3 tun device with the packet-information header on.
        self.assertEqual(tun_flags & (TUN_TYPE_TUN | TUN_NO_PI), TUN_TYPE_TUN, hex(tun_flags))
        self.stop(daemon)
        # The interface lives as long as the daemon's descriptor.
        self.assertFalse(self.site.link_exists(tun))

    def test_batches_take_the_device_with_its_offload_header(self):
        tun = fixed_name("b", 15)
        daemon = self.start(["-b", "32"], tun)
        flags, mtu, tun_flags = self.running_state(tun)
        self.assertEqual((mtu, flags & (IFF_UP | IFF_RUNNING)), (1280, IFF_UP | IFF_RUNNING))
        self.assertEqual(tun_flags & (TUN_TYPE_TUN | TUN_NO_PI | TUN_VNET_HDR),
                         TUN_TYPE_TUN | TUN_VNET_HDR, hex(tun_flags))
        self.stop(daemon)

    def test_batch_size_limits(self):
        # Read like -r's value, but before the device is opened, which it
        # decides on: nothing is made.
        tun = fixed_name("b", 10)
        for text, message in (("0", "out of range"), ("65", "out of range"),
                              ("-1", "out of range"), ("32x", "not a number"),
                              ("", "not a number")):
            with self.subTest(value=text):
                run = run_watching_links(self.site, [self.path, "-F", "-b", text, tun, PREFIX,
                                                     RELAY, MY_V4])
                self.assert_failed(run, "%s: batch size %s" % (text, message))
                self.assertEqual(run.events, [])

    def test_existing_interface_keeps_its_flags(self):
        # A persistent tun interface made beforehand, with an MTU and flags of
        # its own; the daemon attaches to it by name.
        tun = netlab.unique_name("tp")
        self.site.run("ip", "tuntap", "add", "dev", tun, "mode", "tun")
        self.addCleanup(self.site.run, "ip", "tuntap", "del", "dev", tun, "mode", "tun",
                        check=False)
        self.site.run("ip", "link", "set", tun, "mtu", "1400", "allmulticast", "on",
                      "multicast", "off")
        before, mtu, tun_flags = interface_state(self.site, tun)
        self.assertEqual(mtu, 1400)
        self.assertEqual(before & (IFF_UP | IFF_RUNNING | IFF_MULTICAST | IFF_ALLMULTI),
                         IFF_ALLMULTI, hex(before))
        self.assertTrue(tun_flags & TUN_PERSIST and tun_flags & TUN_NO_PI, hex(tun_flags))

        daemon = self.start([], tun)
        after, mtu, tun_flags = self.running_state(tun)
        self.assertEqual(mtu, 1280)
        # Exactly up and running added: ALLMULTI stays set, MULTICAST stays clear.
        self.assertEqual(after, before | IFF_UP | IFF_RUNNING,
                         "before %#x after %#x" % (before, after))
        # Attaching turned the packet-information header on.
        self.assertEqual(tun_flags & (TUN_TYPE_TUN | TUN_NO_PI), TUN_TYPE_TUN, hex(tun_flags))
        self.stop(daemon)

    def test_interface_name_limits(self):
        # (name length, message): "/dev/" and the name must fit 31 characters,
        # and the interface name 15.
        cases = [
            (16, "interface name too long"),
            (20, "interface name too long"),
            (26, "interface name too long"),
            (27, "device pathname too long"),
            (40, "device pathname too long"),
        ]
        for length, message in cases:
            tun = fixed_name("n", length)
            self.assertEqual(len(tun), length)
            with self.subTest(length=length):
                run = run_watching_links(self.site, [self.path, "-F", tun, PREFIX, RELAY, MY_V4])
                self.assert_failed(run, "%s: %s" % (tun, message))
                # Nothing was made, not even under a shortened name.
                self.assertEqual(run.events, [])

    def test_own_address(self):
        lookup_flags = socket.AI_PASSIVE | socket.AI_NUMERICHOST
        cases = [
            ("192.0.2.77", "bind: 192.0.2.77: %s" % os.strerror(errno.EADDRNOTAVAIL)),
            ("198.51.100.1", "bind: 198.51.100.1: %s" % os.strerror(errno.EADDRNOTAVAIL)),
            ("my.example", "getaddrinfo: my.example: %s"
             % resolver_error("my.example", lookup_flags)),
            ("localhost", "getaddrinfo: localhost: %s" % resolver_error("localhost", lookup_flags)),
            ("2001:db8::1", "getaddrinfo: 2001:db8::1: %s"
             % resolver_error("2001:db8::1", lookup_flags)),
        ]
        for text, message in cases:
            with self.subTest(my_v4=text):
                tun = netlab.unique_name("ta")
                run = run_watching_links(self.site, [self.path, "-F", tun, PREFIX, RELAY, text])
                self.assert_failed(run, message)
                # The raw endpoint comes after the interface was configured.
                self.assertTrue(any(e.get("mtu") == 1280 for e in run.events_for(tun)),
                                run.events)
        # 0.0.0.0 binds the socket to every local address.
        daemon = self.start([], netlab.unique_name("ta"), my_v4="0.0.0.0")
        self.stop(daemon)

    def test_outbound_frames_carry_family_header(self):
        tun = netlab.unique_name("to")
        daemon = self.start(["-d", "-d"], tun)
        address_tun(self.site, tun, [SITE_ADDRESS + "/64"])

        # An IPv6 echo request out of the tunnel, to the site of 192.0.2.2.
        self.site.run("ping", "-6", "-c", "1", "-W", "1", "-s", "56", "-p", "66657272696e",
                      PEER_SITE_ADDRESS, check=False)
        daemon.wait_stderr("out %s %s n=58 s=104\n" % (SITE_ADDRESS, PEER_SITE_ADDRESS))
        destination = socket.inet_pton(socket.AF_INET6, PEER_SITE_ADDRESS)
        echo = [b for b in dump_blocks(daemon.stderr(), "tun2raw:")
                if len(b) == 4 + 104 and b[4 + 24:4 + 40] == destination and b[4 + 40] == 128]
        self.assertEqual(len(echo), 1, daemon.stderr())
        frame = echo[0]
        # The kernel's 00 00 86 dd became the family header 28.
        self.assertEqual(frame[:4], bytes([0, 0, 0, 0x1C]))
        self.assertEqual(frame[4] >> 4, 6)
        self.assertEqual(frame[4 + 6], 58)
        self.assertEqual(frame[4 + 8:4 + 24], socket.inet_pton(socket.AF_INET6, SITE_ADDRESS))
        self.assertIn(b"ferrin", frame[4 + 48:])

        # An IPv4 datagram routed into the tunnel: 08 00 became family 2.
        self.site.run("ip", "route", "add", "198.51.100.0/24", "dev", tun)
        packets.send_udp(self.site, "198.51.100.9", 9, b"ferrin-v4")
        daemon.wait_stderr("tun: non-IPv6 packet (2)\n")
        ipv4 = [b for b in dump_blocks(daemon.stderr(), "tun2raw:") if b"ferrin-v4" in b]
        self.assertEqual(len(ipv4), 1, daemon.stderr())
        self.assertEqual(ipv4[0][:5], bytes([0, 0, 0, 2, 0x45]))
        self.assertEqual(len(ipv4[0]), 4 + 20 + 8 + len("ferrin-v4"))
        self.stop(daemon)

    def test_ipv4_frame_traced_at_level_1(self):
        tun = netlab.unique_name("t4")
        daemon = self.start(["-d"], tun)
        self.site.run("ip", "route", "add", "198.51.100.0/24", "dev", tun)
        packets.send_udp(self.site, "198.51.100.9", 9, b"ferrin-v4")
        daemon.wait_stderr("tun: non-IPv6 packet (2)\n")
        self.stop(daemon)
        # Level 1 traces lines but dumps nothing.
        self.assertNotIn("tun2raw:\n", daemon.stderr())

    def test_inbound_packets_reach_interface_unchanged(self):
        tun = netlab.unique_name("ti")
        daemon = self.start(["-d"], tun)
        destination = "2001:db8:c000:201::10"
        # (IPv6 source, marker): a site of the domain at 192.0.2.2, and a native
        # address brought in by the relay at 192.0.2.2.
        cases = [(PEER_SITE_ADDRESS, b"ferrin-inbound-site"),
                 ("3fff::1", b"ferrin-inbound-relay")]
        sender = packets.raw_ipv4_sender(self.peer)
        self.addCleanup(sender.close)
        for source, marker in cases:
            with self.subTest(source=source):
                packet = ipv6_packet(source, destination, payload=marker)
                with packets.Capture(self.site, tun) as capture:
                    sender.sendto(ipv4_header(RELAY, MY_V4, len(packet)) + packet, (MY_V4, 0))
                    frame = capture.until(
                        lambda f: f.pkttype != packets.PACKET_OUTGOING and marker in f.data,
                        what=lambda: "the packet on %s: %s" % (tun, daemon.stderr()))[-1]
                # The kernel took the frame as IPv6: flags 0 and 86 dd were written.
                self.assertEqual(frame.protocol, packets.ETH_P_IPV6, hex(frame.protocol))
                self.assertEqual(frame.data, packet)
                daemon.wait_stderr("in  %s %s %s n=59 s=%d\n"
                                   % (destination, source, RELAY, len(packet)))
        self.stop(daemon)


if __name__ == "__main__":
    unittest.main()
