# SPDX-License-Identifier: BSD-2-Clause
"""Sites of the test domain, set up as an operator would, and a reader of
the trace lines a daemon writes.

The domain is 2001:db8::/32 without common bits unless a test passes -r; the
relay is 203.0.113.1. A site is a namespace that runs a ferrin daemon in the
foreground (-F, so that its log and trace lines reach standard error) for
its own IPv4 address; once the daemon has made its tun interface, the site's
IPv6 addresses go on it (nodad) and the whole domain is routed into it.

The tests of one site put it, 192.0.2.1 (2001:db8:c000:201::/64), across a
veth from a peer namespace that holds 198.51.100.7, the address of another
site of the domain (2001:db8:c633:6407::/64), and stands for the rest of the
IPv4 world. IPv6 is quiet in both namespaces (Namespace.quiet_ipv6), so that
the daemon sees nothing but what a test sends.
"""

import ipaddress
import os
import shutil
import socket
import unittest

import netlab
import packets

PREFIX = "2001:db8::/32"
RELAY = "203.0.113.1"
MY_V4 = "192.0.2.1"
PEER_V4 = "198.51.100.7"
PEER_SITE = "2001:db8:c633:6407::1"  # embeds 198.51.100.7
ME = "2001:db8:c000:201::10"  # inside the delegated prefix 2001:db8:c000:201::/64
NOT_ME = "2001:db8:c000:202::10"  # a neighbouring /64, outside it


def start_daemon(lab, ns, my_v4, options=("-F",), prefix=PREFIX, via=None):
    """Starts a daemon in ns for my_v4 in the domain prefix, with options
    before the four arguments; returns (daemon, tun interface name) once it
    has logged its start and its interface exists. via, when given, makes the
    stand-in for ns that starts the command (a SyslogCapture's within)."""
    tun = netlab.unique_name("tun")
    daemon = lab.daemon(list(options) + [tun, prefix, RELAY, my_v4], via(ns) if via else ns)
    daemon.wait_stderr("ferrin/1.6 started")
    netlab.wait_for(lambda: ns.link_exists(tun), what="the tun interface")
    return daemon, tun


def address_tun(ns, tun, addresses, prefix=PREFIX):
    """Puts the addresses ("address/length") on the tun interface without
    duplicate address detection, and routes the domain prefix into it."""
    for address in addresses:
        ns.run("ip", "addr", "replace", address, "dev", tun, "nodad")
    ns.run("ip", "route", "replace", prefix, "dev", tun)


def site_and_peer(lab, peer_addresses=(), spoofed_sources=False):
    """The site and its peer, quiet, joined by a veth: MY_V4/24 on the
    site's end, PEER_V4/24 and peer_addresses (each /24) on the peer's. The
    site's default route leads to the peer, and the peer routes 192.0.2.0/24
    back. With spoofed_sources the site takes in datagrams from any IPv4
    source. Returns (site, peer, site's veth, peer's veth)."""
    site, peer = lab.namespace("site"), lab.namespace("peer")
    for ns in (site, peer):
        ns.quiet_ipv6()
    if spoofed_sources:
        site.accept_spoofed_sources()
    site_if, peer_if = lab.veth(site, MY_V4, peer, PEER_V4)
    site.run("ip", "route", "add", "default", "dev", site_if)
    for address in peer_addresses:
        peer.run("ip", "addr", "add", address + "/24", "dev", peer_if)
    peer.run("ip", "route", "replace", "192.0.2.0/24", "dev", peer_if)
    return site, peer, site_if, peer_if


class Site:
    """A quiet namespace that runs a daemon for v4 once started, with
    v6/prefix_len on its tun interface, in the domain prefix. Links to other
    sites are the test's to make."""

    def __init__(self, lab, v4, v6, prefix_len=64, options=(), prefix=PREFIX):
        self.lab, self.v4, self.v6, self.prefix_len = lab, v4, v6, prefix_len
        self.options = list(options)
        self.prefix = prefix
        self.ns = lab.namespace("site")
        self.ns.quiet_ipv6()

    def start(self, via=None):
        self.daemon, self.tun = start_daemon(self.lab, self.ns, self.v4, ["-F"] + self.options,
                                             self.prefix, via)
        self.address()

    def address(self):
        """The site's address on its tun interface and the domain routed into
        it, as after every start (and after the interface was set down)."""
        address_tun(self.ns, self.tun, ["%s/%d" % (self.v6, self.prefix_len)], self.prefix)

    def ping(self, target, count=3):
        """Pings target from the site's address: no deadline, count requests
        0.2 s apart, each given 5 s."""
        return self.ns.run("ping", "-6", "-n", "-c", str(count), "-i", "0.2", "-W", "5",
                           "-I", self.v6, target, check=False, timeout=60)

    def udp_socket(self, testcase):
        """A UDP socket on the site's address, closed when the test ends."""
        sock = packets.socket_in(self.ns, socket.AF_INET6, socket.SOCK_DGRAM)
        testcase.addCleanup(sock.close)
        sock.settimeout(10)
        sock.bind((self.v6, 0))
        return sock


class TraceCursor:
    """Reads the lines a daemon writes to standard error from a given moment on."""

    def __init__(self, daemon):
        self.daemon = daemon
        self.offset = len(daemon.stderr())

    def lines(self, count, timeout=10.0):
        """Waits for count new complete lines and returns exactly those."""
        def ready():
            text = self.daemon.stderr()[self.offset:]
            return text.count("\n") >= count and text
        text = netlab.wait_for(ready, timeout, what=lambda: "%d lines after %r"
                               % (count, self.daemon.stderr()[self.offset:]))
        lines = text.split("\n")[:count]
        self.offset += sum(len(line) + 1 for line in lines)
        return lines


def lan_host(lab, edge, lan=None):
    """A LAN host behind the namespace edge: a namespace of its own that runs
    nothing but the kernel's SLAAC (accept_ra 1), joined by a veth whose
    edge end (named lan, or a name of its own) gets the link-local address
    radvd sends from (a quiet edge would not give it one). Returns (edge's
    interface, host, host's interface)."""
    lan, host_if = lan or netlab.unique_name("lan"), netlab.unique_name("hst")
    host = lab.namespace("host")
    edge.run("ip", "link", "add", lan, "type", "veth", "peer", "name", host_if,
             "netns", host.name)
    edge.sysctl("net.ipv6.conf.%s.addr_gen_mode" % lan, 0)
    host.sysctl("net.ipv6.conf.%s.accept_ra" % host_if, 1)
    edge.run("ip", "link", "set", lan, "up")
    host.run("ip", "link", "set", host_if, "up")
    return lan, host, host_if


# A DHCP site's ISP: its server on the site's link (192.0.2.0/25), routing
# to a second site of the domain on another link (192.0.2.128/25).
ISP_SITE = "192.0.2.1"     # the ISP on the DHCP site's link
ISP_PEER = "192.0.2.129"   # the ISP on the second site's link
ISP_PEER_SITE = "192.0.2.130"


def program(name):
    path = shutil.which(name, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")
    if path is None:
        raise unittest.SkipTest("%s is not installed (scripts/install-deps.sh installs it)" % name)
    return path


def option_212(mask, plen, prefix, relays):
    """Option 212 as dnsmasq takes raw bytes: IPv4MaskLen, 6rdPrefixLen,
    6rdPrefix, the relays."""
    data = (bytes([mask, plen]) + ipaddress.IPv6Address(prefix).packed
            + b"".join(ipaddress.IPv4Address(r).packed for r in relays))
    return ":".join("%02x" % b for b in data)


def delegated(prefix, plen, mask, v4):
    """The delegated prefix, computed here apart from the C++ code."""
    head = int(ipaddress.IPv6Address(prefix)) >> (128 - plen) << (128 - plen)
    suffix = int(ipaddress.IPv4Address(v4)) & ((1 << (32 - mask)) - 1)
    length = plen + 32 - mask
    return ipaddress.IPv6Network((head | suffix << (128 - length), length))


class Isp:
    """The ISP: dnsmasq on the DHCP site's link, IPv4 forwarding between the sites."""

    def __init__(self, lab):
        self.lab = lab
        self.ns = lab.namespace("isp")
        self.ns.quiet_ipv6()
        self.ns.sysctl("net.ipv4.ip_forward", 1)
        self.dnsmasq = None

    def serve(self, interface, first_last, option, t1=None, leases="leases"):
        """(Re)starts dnsmasq for first_last with option 212 (hex)."""
        self.stop()
        argv = ["-k", "--conf-file=/dev/null", "--port=0", "--interface=" + interface,
                "--bind-interfaces", "--dhcp-authoritative", "--user=root", "--group=root",
                "--dhcp-range=%s,%s,255.255.255.128,2m" % first_last,
                "--dhcp-option=option:router," + ISP_SITE, "--dhcp-option=212," + option,
                "--dhcp-leasefile=" + os.path.join(self.lab.tmpdir, leases),
                "--pid-file=" + os.path.join(self.lab.tmpdir, "dnsmasq.pid"),
                "--log-dhcp", "--log-facility=-"]
        if t1 is not None:
            argv.append("--dhcp-option=option:T1,%d" % t1)
        self.dnsmasq = self.lab.daemon(argv, self.ns, binary=program("dnsmasq"))
        self.dnsmasq.wait_stderr("sockets bound exclusively to interface")

    def option_lines(self):
        """dnsmasq's log lines of option 212 sent."""
        return [l for l in self.dnsmasq.stderr().splitlines() if "option:212" in l]

    def stop(self):
        if self.dnsmasq is not None:
            self.dnsmasq.stop()
            self.dnsmasq = None
