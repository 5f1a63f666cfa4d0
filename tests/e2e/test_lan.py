# SPDX-License-Identifier: BSD-2-Clause
"""The LAN behind the edge gets IPv6 by itself: router advertisements by a
real radvd, IPv6 forwarding, renumbering without stale prefixes, and the
default firewall in a real nftables table.

The edge is test_dhcp.py's DHCP site (ferrin, ferrin-6rd, dhcpcd with the
project's hook, the systemctl stand-in, which runs the project's radvd unit
too) with a LAN interface; the ISP's dnsmasq serves option 212 (8 common
bits, a /56 delegated prefix); a second 6rd site stands for the rest of the
domain. The LAN host is a namespace of its own that runs nothing but the
kernel's SLAAC (accept_ra 1): no DHCPv6, no daemon.

The story: the lease gives the host an address in the LAN's /64 (valid at
most 5400 s, preferred at most 2700 s) and a default route via the edge's
link-local address; it pings the other site and is pinged back; the other
site's unsolicited TCP never reaches it while its own TCP goes out. A new
IPv4 address: within seconds the host has an address in the new /64 that
works, the old one is deprecated, and a ping from the old one is answered
with ICMPv6 destination unreachable, code 5. The lease ends: the host loses
its default route within seconds. What rdisc6 hears, ferrin-6rd status and
the nftables table are printed at each step, with the seconds each change
took to reach the host.

The LAN follows its links: a LAN link that goes down and up (with and
without keep_addr_on_down), and a LAN interface made after the lease with a
second host behind it, reach the other site again within seconds, put back
by the link watcher without a lease event; radvd's unit stopped is started
again by the next renewal, which says so.

Run alone as root: FERRIN_BINARY=build/ferrin python3 tests/e2e/test_lan.py -v
"""

import ipaddress
import os
import re
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import netlab  # noqa: E402
import packets  # noqa: E402
from sites import delegated, lan_host, option_212, program  # noqa: E402
from test_dhcp import (FIRST_RANGE, HELPER, RELAYS, SECOND_RANGE, TUN, WAIT, Dhcpcd,  # noqa: E402
                       edge_lab, in_range, show, write)

MASK, PLEN, PREFIX = 8, 32, "2001:db8::"
LAN_SUBNET = 1
PORT = 5001
OPENED_PORT = 5002  # what the operator's exception file opens
# A change must reach the hosts "immediately"; a few seconds at most here.
PROMPT = 10


def lan_prefix(v4):
    d = delegated(PREFIX, PLEN, MASK, v4)
    return ipaddress.IPv6Network((int(d.network_address) | LAN_SUBNET << 64, 64))


class LanBehindTheEdge(unittest.TestCase):

    def setUp(self):
        for name in ("radvd", "nft", "rdisc6"):
            program(name)
        edge_lab(self, MASK, PLEN, PREFIX)
        self.lan, self.host, self.host_if = lan_host(self.lab, self.site.ns)
        self.site.write_settings("daemon_options = -u nobody\nlan_interface = %s\n" % self.lan)
        self.client = Dhcpcd(self.lab, self.site, self.uplink)
        self.option = option_212(MASK, PLEN, PREFIX, RELAYS)

    # What the host has.

    def host_addresses(self, host=None):
        """{address: (valid, preferred)} of the host's global addresses."""
        out = (host or self.host).run("ip", "-6", "-o", "addr", "show", "scope",
                                      "global").stdout
        found = {}
        for line in out.splitlines():
            m = re.search(r"inet6 (\S+)/64 .*valid_lft (\d+)sec preferred_lft (\d+)sec", line)
            if m and "tentative" not in line:
                found[ipaddress.IPv6Address(m.group(1))] = (int(m.group(2)), int(m.group(3)))
        return found

    def address_in(self, network, preferred=True, host=None):
        """The host's address in network, preferred or deprecated as asked, or None."""
        for address, (_, pref) in self.host_addresses(host).items():
            if address in network and (pref > 0) == preferred:
                return address
        return None

    def default_route(self):
        out = self.host.run("ip", "-6", "route", "show", "default").stdout
        m = re.search(r"default via (fe80::\S+) dev %s proto ra" % self.host_if, out)
        return m and m.group(1)

    def settle(self):
        """Waits for the last hook to end before the client's next request."""
        netlab.wait_for(lambda: self.site.settled(program(self.client.binary)), WAIT,
                        interval=0.05, what="the hooks to end")

    def timed(self, predicate, what):
        """Waits for predicate; returns (its value, the seconds it took)."""
        started = time.monotonic()
        value = netlab.wait_for(predicate, WAIT, interval=0.05, what=lambda: "%s (ferrin-6rd "
                                "said %r; radvd said %r)" % (what, self.capture.messages(
                                    "ferrin-6rd"), self.radvd_log()))
        return value, time.monotonic() - started

    def radvd_log(self):
        try:
            with open(os.path.join(self.site.state, "ferrin-radvd@%s.log" % TUN)) as f:
                return f.read()[-3000:]
        except FileNotFoundError:
            return ""

    def show_state(self, title):
        show("%s: ip -6 addr (host)" % title,
             self.host.run("ip", "-6", "addr", "show", "dev", self.host_if).stdout)
        show("%s: ip -6 route (host)" % title, self.host.run("ip", "-6", "route").stdout)
        rdisc = self.host.run(program("rdisc6"), "-1", "-w", "2000", self.host_if,
                              check=False, timeout=30).stdout
        show("%s: rdisc6 on the host" % title, rdisc)
        status = netlab.run(["nsenter", "-t", str(self.client.process.pid), "-m", "-n",
                             HELPER, "status"], check=False, timeout=60)
        show("%s: ferrin-6rd status" % title, status.stdout + status.stderr)
        table = self.site.ns.run("nft", "list", "table", "ip6", "ferrin-" + TUN, check=False)
        show("%s: nft list table ip6 ferrin-%s" % (title, TUN), table.stdout or table.stderr)
        return rdisc

    def ping(self, ns, source, target):
        return ns.run("ping", "-6", "-n", "-c", "2", "-i", "0.2", "-W", "5", "-I", str(source),
                      str(target), check=False, timeout=60)

    def assert_pings(self, ns, source, target):
        result = self.ping(ns, source, target)
        self.assertIn("2 packets transmitted, 2 received", result.stdout,
                      result.stdout + result.stderr)

    # TCP across the tunnel.

    def listener(self, ns, address, port=PORT):
        sock = packets.socket_in(ns, socket.AF_INET6, socket.SOCK_STREAM)
        self.addCleanup(sock.close)
        sock.bind((str(address), port))
        sock.listen(4)
        sock.setblocking(False)
        return sock

    def connects(self, ns, source, target, timeout, port=PORT):
        sock = packets.socket_in(ns, socket.AF_INET6, socket.SOCK_STREAM)
        try:
            sock.bind((str(source), 0))
            sock.settimeout(timeout)
            sock.connect((str(target), port))
            return True
        except OSError:
            return False
        finally:
            sock.close()

    def test_lease_renumbering_and_end_of_lease(self):
        # The lease: an address in the LAN's /64 and a default route, by SLAAC alone.
        self.isp.serve(self.isp_if, FIRST_RANGE, self.option, None, "first")
        started = time.monotonic()
        self.client.start()
        env = netlab.wait_for(lambda: self.site.env(), WAIT, what="the first lease")
        first = lan_prefix(env["FERRIN_MY_V4"])
        address, _ = self.timed(lambda: self.address_in(first), "an address in %s" % first)
        router = netlab.wait_for(self.default_route, WAIT, what="a default route from the RA")
        lifetimes = self.host_addresses()[address]
        self.assertTrue(0 < lifetimes[0] <= 5400 and 0 < lifetimes[1] <= 2700, lifetimes)
        show("the lease", "host address %s (valid %d s, preferred %d s), default via %s, "
             "%.1f s after dhcpcd started" % ((address,) + lifetimes + (router,
                                               time.monotonic() - started)))
        rdisc = self.show_state("the lease")
        self.assertRegex(rdisc, r"Router lifetime\s+:\s+2700 ")
        self.assertIn("Prefix                   : %s" % first, rdisc)
        self.assertIn("Route                    : %s" % delegated(PREFIX, PLEN, MASK,
                                                                    env["FERRIN_MY_V4"]), rdisc)
        self.assertEqual(self.site.ns.run("sysctl", "-n", "net.ipv6.conf.all.forwarding")
                         .stdout.strip(), "1")

        self.assert_pings(self.host, address, self.peer.v6)
        self.assert_pings(self.peer.ns, self.peer.v6, address)
        # Unsolicited TCP from the tunnel is dropped; the host's own goes out.
        inbound = self.listener(self.host, address)
        self.assertFalse(self.connects(self.peer.ns, self.peer.v6, address, 3))
        with self.assertRaises(BlockingIOError):
            inbound.accept()
        outbound = self.listener(self.peer.ns, self.peer.v6)
        self.assertTrue(self.connects(self.host, address, self.peer.v6, 10))
        netlab.wait_for(lambda: self.accepted(outbound), 10, what="the peer to accept")
        show("firewall", "TCP from the other site to the host: no answer; from the host out: "
             "connected")

        # A new IPv4 address: a new /64 at once, the old one deprecated and
        # answered with code 5.
        self.isp.serve(self.isp_if, SECOND_RANGE, self.option, None, "second")
        self.settle()
        self.client.rebind()
        env = netlab.wait_for(lambda: (self.site.env() or {}).get("FERRIN_MY_V4")
                              and in_range(self.site.env()["FERRIN_MY_V4"], SECOND_RANGE)
                              and self.site.env(), WAIT, what="the second lease")
        second = lan_prefix(env["FERRIN_MY_V4"])
        new_address, seconds = self.timed(lambda: self.address_in(second),
                                          "an address in %s" % second)
        _, deprecated = self.timed(lambda: self.address_in(first, preferred=False),
                                   "the old address deprecated")
        self.assertLess(seconds, PROMPT)
        show("renumbering", "new address %s %.1f s after the new lease was written, old "
             "address %s deprecated (valid %d s left)"
             % (new_address, seconds, address, self.host_addresses()[address][0]))
        rdisc = self.show_state("renumbering")
        self.assertRegex(rdisc, r"Prefix\s+: %s\n(.*\n){2}\s+Valid time\s+:\s+0 " % first)
        self.assert_pings(self.host, new_address, self.peer.v6)
        refused = self.ping(self.host, address, self.peer.v6)
        # iputils names code 5 only in newer versions than Debian 12's.
        self.assertRegex(refused.stdout, r"From \S+ icmp_seq=1 Destination unreachable: "
                         r"(Unknown code 5|Source address failed ingress/egress policy)")
        show("ping from the old address", refused.stdout)

        # The lease ends: the host loses its router at once.
        self.settle()
        self.client.release()
        _, seconds = self.timed(lambda: self.default_route() is None, "the default route to go")
        self.assertLess(seconds, PROMPT)
        self.assertIsNone(self.address_in(second, preferred=True))
        show("the lease ended", "default route gone %.1f s after the release" % seconds)
        # The rest of the event (the unit's stop, the address's removal) first.
        self.settle()
        self.show_state("the lease ended")

    def test_an_exception_file_nft_refuses_leaves_the_lan_shielded(self):
        # One file with a typo, one that opens a port: the table is loaded
        # with the good one, without the bad one, and says which.
        folder = os.path.join(os.path.dirname(self.site.settings_file()), "lan-firewall.d")
        os.makedirs(folder, exist_ok=True)
        write(os.path.join(folder, "broken.nft"), "tcp dport 22 acept\n")
        write(os.path.join(folder, "opened.nft"), "tcp dport %d accept\n" % OPENED_PORT)
        self.isp.serve(self.isp_if, FIRST_RANGE, self.option, None, "first")
        self.client.start()
        env = netlab.wait_for(lambda: self.site.env(), WAIT, what="the first lease")
        first = lan_prefix(env["FERRIN_MY_V4"])
        address, _ = self.timed(lambda: self.address_in(first), "an address in %s" % first)
        table = lambda: self.site.ns.run("nft", "list", "table", "ip6", "ferrin-" + TUN,
                                         check=False).stdout
        self.timed(lambda: "jump from_tunnel" in table() and "%d accept" % OPENED_PORT in table(),
                   "the table without the broken file")

        inbound = self.listener(self.host, address)
        self.assertFalse(self.connects(self.peer.ns, self.peer.v6, address, 3))
        with self.assertRaises(BlockingIOError):
            inbound.accept()
        opened = self.listener(self.host, address, OPENED_PORT)
        self.assertTrue(self.connects(self.peer.ns, self.peer.v6, address, 10, OPENED_PORT))
        netlab.wait_for(lambda: self.accepted(opened), 10, what="the host to accept")
        show("firewall", "TCP from the other site: port %d dropped, port %d (opened.nft) "
             "connected" % (PORT, OPENED_PORT))

        said = "\n".join(self.capture.messages("ferrin-6rd"))
        self.assertRegex(said, r"broken\.nft:1:\d+-\d+: Error: syntax error")
        status = netlab.run(["nsenter", "-t", str(self.client.process.pid), "-m", "-n",
                             HELPER, "status"], check=False, timeout=60).stdout
        show("ferrin-6rd status", status)
        self.assertRegex(status, r"firewall +table ip6 ferrin-%s: in place, the LAN and this host "
                                 r"shielded from the tunnel" % TUN)
        self.assertRegex(status, r"LEFT OUT +/\S*/lan-firewall\.d/broken\.nft: nft refused it")
    # The LAN follows its links, and every lease event puts back what is missing.

    def in_client(self, *cmd):
        """Runs cmd as the DHCP client's hooks do: in its view of the system."""
        return netlab.run(["nsenter", "-t", str(self.client.process.pid), "-m", "-n"] + list(cmd),
                          check=False, timeout=60)

    def reaches_peer(self, host, address):
        return "1 received" in host.run("ping", "-6", "-n", "-c", "1", "-W", "1", "-I",
                                        str(address), str(self.peer.v6), check=False,
                                        timeout=30).stdout

    def healed(self, host, network, what):
        """Waits until host has an address in network that reaches the other
        site; returns the seconds it took."""
        _, seconds = self.timed(lambda: (self.address_in(network, host=host) or False) and
                                self.reaches_peer(host, self.address_in(network, host=host)), what)
        return seconds

    def test_the_lan_follows_its_links_and_renewals_put_back_what_is_missing(self):
        late = netlab.unique_name("late")
        self.site.write_settings("daemon_options = -u nobody\nlan_interface = %s %s\n"
                                 % (self.lan, late))
        self.isp.serve(self.isp_if, FIRST_RANGE, self.option, None, "first")
        self.client.start()
        env = netlab.wait_for(lambda: self.site.env(), WAIT, what="the lease")
        first = lan_prefix(env["FERRIN_MY_V4"])
        address, _ = self.timed(lambda: self.address_in(first), "an address in %s" % first)
        self.assertTrue(self.reaches_peer(self.host, address))
        watcher = "ferrin-lan@%s.service" % TUN
        netlab.wait_for(lambda: self.in_client("systemctl", "is-active", watcher).returncode == 0,
                        WAIT, what="the link watcher")

        # A link that goes down and up: with keep_addr_on_down (set by the
        # helper) the address stays; without (a read-only /proc/sys), the
        # watcher puts it back.
        for keep in ("1", "0"):
            self.site.ns.sysctl("net.ipv6.conf.%s.keep_addr_on_down" % self.lan, keep)
            self.site.ns.run("ip", "link", "set", self.lan, "down")
            self.site.ns.run("ip", "link", "set", self.lan, "up")
            seconds = self.healed(self.host, first, "the host to reach the other site again")
            self.assertLess(seconds, PROMPT)
            show("link down and up (keep_addr_on_down %s)" % keep,
                 "the host reaches the other site %.1f s after the link came up" % seconds)
        said = "a LAN link changed; put back: the address %s1/64 on %s" % (
            first.network_address, self.lan)
        netlab.wait_for(lambda: any(said in m for m in self.capture.messages("ferrin-6rd")), WAIT,
                        what=lambda: "%r in %r" % (said, self.capture.messages("ferrin-6rd")))

        # A LAN interface made after the lease: its address, routes and
        # advertisements follow.
        _, late_host, _ = lan_host(self.lab, self.site.ns, late)
        second = ipaddress.IPv6Network((int(first.network_address) + (1 << 64), 64))
        seconds = self.healed(late_host, second, "the late interface's host to reach the other "
                              "site")
        self.assertLess(seconds, PROMPT)
        show("a LAN interface made after the lease", "its host reaches the other site %.1f s "
             "after the interface was made" % seconds)

        # radvd's unit stopped: the next renewal starts it again.
        radvd = "ferrin-radvd@%s.service" % TUN
        self.in_client("systemctl", "stop", radvd)
        netlab.wait_for(lambda: self.default_route() is None, WAIT,
                        what="the host to lose its router")
        self.settle()
        self.client.renew()
        _, seconds = self.timed(lambda: self.default_route(), "the router back after a renewal")
        said = "ferrin@%s: put back: %s" % (TUN, radvd)
        netlab.wait_for(lambda: said in self.capture.messages("ferrin-6rd"), WAIT,
                        what=lambda: "%r in %r" % (said, self.capture.messages("ferrin-6rd")))
        self.assertTrue(self.reaches_peer(self.host, address))
        show("radvd stopped, then a renewal", "the host has its router again %.1f s after the "
             "renewal" % seconds)
        self.show_state("after the repairs")

    @staticmethod
    def accepted(sock):
        try:
            sock.accept()[0].close()
            return True
        except BlockingIOError:
            return False


if __name__ == "__main__":
    unittest.main()
