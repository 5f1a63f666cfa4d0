# SPDX-License-Identifier: BSD-2-Clause
"""From the ISP's DHCP lease to a working tunnel: ferrin-6rd with real DHCP
clients and a real server.

An ISP namespace runs dnsmasq, which serves option 212 as raw bytes to the
clients that ask for it, and routes IPv4 between the DHCP site and a second
6rd site (a plain daemon with static settings, sites.Site) that the pings go
to. The DHCP site's client (ISC dhclient, dhcpcd or busybox udhcpc) runs with
the project's hook in a private mount namespace (SyslogCapture.within with
mounts):

- /etc, /run and the folder of ferrin-6rd's settings are overlays: what the
  client, its hooks and the helper write there lands in the test's folder,
  where the test first puts dhcp.conf;
- the client's hook folder holds only the project's hook, with
  /usr/sbin/ferrin-6rd replaced by the helper under test (udhcpc takes the
  script with -s);
- /usr/bin/systemctl is a wrapper around systemctl_standin.py, which follows
  the real unit file: the two environment files, the daemon in the
  background, then the addr step.

Each client's story: a lease brings the tunnel up with the right daemon
arguments, address and routes, and a ping crosses to the second site; a
renewal with the same values leaves the daemon's PID alone and the
environment file unwritten (restarts for a new relay or a dead daemon are
the helper's decision, unit-tested with it); dnsmasq restarted with
another address range refuses the old address (NAK: the clients end the old
lease, and the tunnel with it) and the new one starts the daemon with a new
delegated prefix, nothing of the old one left; a release stops the daemon and removes
its address, routes and environment file. A bad option (IPv4MaskLen 40) in a
renewal gives the helper's message and stops the tunnel.

dhclient has no command to renew now: its server gives it a T1 of 3 seconds,
so it renews on its own. udhcpc renews on SIGUSR1 and releases on SIGUSR2;
dhcpcd renews on SIGUSR1, rebinds on SIGHUP (the server's refusal of a
renewal is sent to all and does not reach it) and releases on SIGALRM. Before
each request the test waits for the last hook to end.

Run alone as root: FERRIN_BINARY=build/ferrin python3 tests/e2e/test_dhcp.py -v
(ferrin-6rd is taken from beside the daemon, or from FERRIN_6RD_BINARY).
"""

import ipaddress
import json
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import netlab  # noqa: E402
import sites  # noqa: E402
from sites import (ISP_PEER, ISP_PEER_SITE, ISP_SITE, Isp, delegated, option_212,  # noqa: E402
                   program)
from syslog_capture import SyslogCapture  # noqa: E402

HELPER = os.path.abspath(os.environ.get("FERRIN_6RD_BINARY") or os.path.join(
    os.path.dirname(os.path.abspath(netlab.BINARY)), "ferrin-6rd"))
DIST = os.path.join(netlab.ROOT, "dist")
STANDIN = os.path.join(netlab.HERE, "systemctl_standin.py")
SOURCE_HELPER = "/usr/sbin/ferrin-6rd"
HOOK_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"  # dhclient-script's own PATH

TUN = "tun6rd0"
RELAYS = ("203.0.113.1", "203.0.113.2")
FIRST_RANGE = ("192.0.2.10", "192.0.2.20")
SECOND_RANGE = ("192.0.2.30", "192.0.2.40")
DAEMON_OPTIONS = "-u nobody"
WAIT = 60  # a lease, a NAK and a new lease take a few seconds; a slow CI more


def in_range(v4, first_last):
    first, last = (ipaddress.IPv4Address(a) for a in first_last)
    return first <= ipaddress.IPv4Address(v4) <= last


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def write(path, text, mode=0o644):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    os.chmod(path, mode)


def hook_copy(source, target, mode=0o644):
    """A hook of dist/dhcp as installed, calling the helper under test."""
    write(target, read(os.path.join(DIST, "dhcp", source)).replace(SOURCE_HELPER, HELPER), mode)


def settings_path():
    """Where the helper under test reads its settings (its usage says)."""
    out = netlab.run([HELPER], check=False).stdout
    return re.search(r"^settings: (\S+)$", out, re.M).group(1)


def env_fields(text):
    fields = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            key, value = line.split("=", 1)
            fields[key] = value.strip('"')
    return fields


def show(title, text):
    """Writes what the run showed, for the reader of the test's output."""
    body = "\n".join("    " + line for line in text.rstrip("\n").splitlines())
    sys.stdout.write("\n  %s\n%s\n" % (title, body))
    sys.stdout.flush()


class DhcpSite:
    """The site whose uplink a DHCP client configures, and the private view of
    the system its client runs in."""

    def __init__(self, lab, capture):
        self.lab, self.capture = lab, capture
        self.ns = lab.namespace("dsite")
        self.ns.quiet_ipv6()
        self.dir = tempfile.mkdtemp(prefix="dhcp-", dir=lab.tmpdir)
        self.state = self.path("standin")
        os.mkdir(self.state)
        self.overlays = {}
        self.binds = []
        self.run_upper = self.overlay("/run")
        self.overlay("/etc")
        self.lib_upper = self.overlay("/var/lib")

        wrapper = self.path("systemctl")
        write(wrapper, "#!/bin/sh\nexec %s %s %s %s %s %s \"$@\"\n" % (
            sys.executable, STANDIN, self.state, DIST, os.path.abspath(netlab.BINARY),
            HELPER), 0o755)
        self.bind(wrapper, os.path.realpath(shutil.which("systemctl", path=HOOK_PATH)))

    def path(self, name):
        return os.path.join(self.dir, name)

    def settings_file(self):
        """The test's file that the helper under test reads as its settings,
        in the client's view."""
        settings_file = settings_path()
        folder = os.path.dirname(settings_file)
        target = folder
        while not os.path.isdir(target):
            target = os.path.dirname(target)
        upper = os.path.join(self.overlay(target), os.path.relpath(folder, target))
        os.makedirs(upper, exist_ok=True)
        return os.path.join(upper, os.path.basename(settings_file))

    def write_settings(self, text):
        write(self.settings_file(), text)

    def overlay(self, target):
        """What is written below target lands in the returned folder."""
        if target not in self.overlays:
            name = target.strip("/").replace("/", "-") or "root"
            upper, work = self.path("upper-" + name), self.path("work-" + name)
            os.mkdir(upper)
            os.mkdir(work)
            # The folder's own mode shows through: /etc must stay readable to all.
            os.chmod(upper, stat.S_IMODE(os.stat(target).st_mode))
            self.overlays[target] = (upper, work)
        return self.overlays[target][0]

    def bind(self, source, target):
        self.binds.append((source, target))

    def within(self):
        """The site's namespace, as the client sees it."""
        mounts = [("overlay", target, upper, work) for target, (upper, work)
                  in sorted(self.overlays.items(), key=lambda item: len(item[0]))]
        mounts += [("bind", source, target) for source, target in self.binds]
        return self.capture.within(self.ns, mounts=mounts)

    def env_path(self, tun=TUN):
        return os.path.join(self.run_upper, "ferrin", tun + ".env")

    def env(self, tun=TUN):
        """The tunnel's environment file as fields, or None when there is none."""
        try:
            return env_fields(read(self.env_path(tun)))
        except FileNotFoundError:
            return None

    def running(self):
        """The argv of every daemon running, started by the stand-in."""
        return [argv for pid, argv in self.started() if netlab.process_runs(pid, netlab.BINARY)]

    def started(self):
        """(PID, argv) of every daemon the stand-in started, in order."""
        try:
            lines = read(os.path.join(self.state, "started")).splitlines()
        except FileNotFoundError:
            return []
        return [(int(pid), json.loads(argv)) for pid, argv in (l.split("\t") for l in lines)]

    def descriptors(self):
        """The descriptors each systemctl call was given, as "0 1 2"."""
        return read(os.path.join(self.state, "descriptors")).splitlines()

    def daemon_pid(self):
        """The PID of the running daemon, or None."""
        started = self.started()
        if started and netlab.process_runs(started[-1][0], netlab.BINARY):
            return started[-1][0]
        return None

    def ip6(self, *args):
        return self.ns.run("ip", "-6", *args).stdout

    def settled(self, client_binary):
        """True when nothing runs in the site but the client, the daemon,
        radvd and the link watcher: the last hook has ended."""
        allowed = {os.path.realpath(client_binary), os.path.realpath(netlab.BINARY)}
        radvd = shutil.which("radvd", path=HOOK_PATH)
        if radvd:
            allowed.add(os.path.realpath(radvd))
        for pid in self.ns.pids():
            try:
                exe = os.path.realpath("/proc/%d/exe" % pid)
                if exe not in allowed and not self.watcher(pid, exe):
                    return False
            except OSError:
                pass
        return True

    @staticmethod
    def watcher(pid, exe):
        """True for the LAN's link watcher (ferrin-6rd watch), which runs as
        long as the tunnel does."""
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            argv = f.read().split(b"\0")
        return exe == os.path.realpath(HELPER) and argv[1:2] == [b"watch"]

    def helper_messages(self, text):
        return [m for m in self.capture.messages("ferrin-6rd") if text in m]


class Dhclient:
    name = "ISC dhclient"
    binary = "dhclient"
    server_t1 = 3  # it renews on its own, every 3 seconds

    def __init__(self, lab, site, interface):
        self.lab, self.site, self.interface = lab, site, interface
        self.conf = site.path("dhclient.conf")
        write(self.conf, "also request option-6rd;\ninitial-interval 1;\n")
        hooks = site.path("dhclient-exit-hooks.d")
        os.mkdir(hooks)
        hook_copy("dhclient-exit-hook", os.path.join(hooks, "ferrin"))
        site.bind(hooks, "/etc/dhcp/dhclient-exit-hooks.d")
        self.files = ["-cf", self.conf, "-lf", site.path("dhclient.leases"),
                      "-pf", site.path("dhclient.pid")]

    def start(self):
        self.process = self.lab.daemon(["-d", "-v"] + self.files + [self.interface],
                                       self.site.within(), binary=program("dhclient"))

    def renew(self):
        pass

    def rebind(self):
        pass

    def release(self):
        self.own_command("-r")

    def stop(self):
        self.own_command("-x")

    def own_command(self, option):
        """dhclient -r (RELEASE) or -x (STOP, the lease kept): it runs the
        hook itself, so in the client's view."""
        netlab.run(["nsenter", "-t", str(self.process.pid), "-m", "-n", program("dhclient"),
                    option] + self.files + [self.interface], timeout=WAIT)

    def fall_back_soon(self):
        """From the next start, soon given up on servers for the recorded
        lease (TIMEOUT), and after a failed try soon asking again."""
        write(self.conf, read(self.conf) + "reboot 1;\ntimeout 3;\nretry 1;\n")


class Dhcpcd:
    name = "dhcpcd"
    binary = "dhcpcd"
    server_t1 = None

    def __init__(self, lab, site, interface):
        self.lab, self.site, self.interface = lab, site, interface
        self.conf = site.path("dhcpcd.conf")
        write(self.conf, "option sixrd\nipv4only\nnoarp\nnoipv4ll\n")
        hooks = site.path("dhcpcd-hooks")
        os.mkdir(hooks)
        hook_copy("dhcpcd-hook", os.path.join(hooks, "70-ferrin"))
        site.bind(hooks, "/usr/lib/dhcpcd/dhcpcd-hooks")
        site.overlay("/var/lib/dhcpcd")

    def start(self):
        self.process = self.lab.daemon(["-B", "-f", self.conf, self.interface],
                                       self.site.within(), binary=program("dhcpcd"))

    def signal(self, signum, name):
        """Sends the signal until dhcpcd says it took it: dhcpcd keeps one
        pending signal, and one that comes as a hook ends can be lost."""
        said = "received %s" % name
        count = self.process.stderr().count(said)
        for _ in range(5):
            self.process.signal(signum)
            try:
                return netlab.wait_for(lambda: self.process.stderr().count(said) > count, 3,
                                       what="dhcpcd to take %s" % name)
            except AssertionError:
                continue
        raise AssertionError("dhcpcd took no %s: %s" % (name, self.process.stderr()[-2000:]))

    def renew(self):
        self.signal(signal.SIGUSR1, "SIGUSR1")

    def rebind(self):
        # A renewal goes to the server's address, and the server's refusal,
        # sent to all, does not reach dhcpcd there; a rebind asks all.
        self.signal(signal.SIGHUP, "SIGHUP")

    def release(self):
        self.signal(signal.SIGALRM, "SIGALRM")

    def stop(self):
        self.process.stop(timeout=WAIT)

    def fall_back_soon(self):
        """From the next start, the last lease (TIMEOUT) once 2 seconds pass
        without a server's answer."""
        write(self.conf, read(self.conf) + "lastlease\nreboot 2\n")


class Udhcpc:
    name = "busybox udhcpc"
    binary = "busybox"
    server_t1 = None

    def __init__(self, lab, site, interface):
        self.lab, self.site, self.interface = lab, site, interface
        self.script = site.path("udhcpc.script")
        hook_copy("udhcpc.script", self.script, 0o755)

    def start(self):
        self.process = self.lab.daemon(
            ["udhcpc", "-f", "-i", self.interface, "-O", "212", "-s", self.script,
             "-t", "30", "-T", "1"], self.site.within(), binary=program("busybox"))

    def renew(self):
        self.process.signal(signal.SIGUSR1)

    def rebind(self):
        self.renew()

    def release(self):
        self.process.signal(signal.SIGUSR2)


def edge_lab(test, mask, plen, prefix):
    """Makes, as attributes of test and taken down when it ends: lab, capture
    (syslog, drained in the background), isp, peer (a second site of the
    domain prefix/plen with mask common bits, behind the ISP), domain, and
    site (the DHCP site) with its uplink to the ISP's isp_if."""
    test.lab = netlab.Lab()
    test.addCleanup(test.lab.close)
    test.capture = SyslogCapture(test.lab)
    test.addCleanup(test.capture.close)
    test.capture.drain_in_background()

    test.isp = Isp(test.lab)
    test.domain = "%s/%d" % (prefix, plen)
    common = ["-r", str(mask)] if mask else []
    peer_prefix = delegated(prefix, plen, mask, ISP_PEER_SITE)
    test.peer = sites.Site(test.lab, ISP_PEER_SITE, str(peer_prefix[1]), peer_prefix.prefixlen,
                           common, test.domain)
    test.lab.veth(test.peer.ns, ISP_PEER_SITE, test.isp.ns, ISP_PEER, prefix_len=25)
    test.peer.ns.run("ip", "route", "add", "default", "via", ISP_PEER)
    test.peer.start()

    test.site = DhcpSite(test.lab, test.capture)
    test.uplink, test.isp_if = test.lab.veth(test.site.ns, None, test.isp.ns, ISP_SITE,
                                             prefix_len=25)


class LeaseStory:
    """One client's story; the subclasses name the client and the domain."""

    client_class = None
    mask, plen, prefix = 0, 32, "2001:db8::"
    lan_subnet_id = None  # a LAN interface with this subnet id, or none
    uplink_setting = False  # name the uplink in the settings, or take any

    def setUp(self):
        edge_lab(self, self.mask, self.plen, self.prefix)
        self.lan = netlab.unique_name("lan") if self.lan_subnet_id is not None else ""
        settings = ["# written by the test", "daemon_options = " + DAEMON_OPTIONS]
        if self.uplink_setting:
            settings.append("uplink = " + self.uplink)
        if self.lan:
            settings += ["lan_interface = " + self.lan, "lan_subnet_id = %x" % self.lan_subnet_id]
        self.site.write_settings("\n".join(settings) + "\n")
        if self.lan:
            # A veth with its peer beside it: the kernel may lack the dummy driver.
            self.site.ns.run("ip", "link", "add", self.lan, "type", "veth", "peer", "name",
                             self.lan + "p")
            for name in (self.lan, self.lan + "p"):
                self.site.ns.run("ip", "link", "set", name, "up")
        self.client = self.client_class(self.lab, self.site, self.uplink)
        self.option = option_212(self.mask, self.plen, self.prefix, RELAYS)

    def wait(self, predicate, what, timeout=WAIT):
        return netlab.wait_for(predicate, timeout, interval=0.05, what=what)

    def settle(self):
        """Waits for the last hook to end, so that the client takes the next
        request in its quiet state."""
        self.wait(lambda: self.site.settled(program(self.client.binary)), "the hooks to end")

    # What a lease of v4 must give.

    def expected(self, v4):
        d = delegated(self.prefix, self.plen, self.mask, v4)
        fields = {
            "FERRIN_PREFIX": str(ipaddress.IPv6Network(self.domain)),
            "FERRIN_RELAY": RELAYS[0],
            "FERRIN_MY_V4": v4,
            "FERRIN_OPTS": DAEMON_OPTIONS + (" -r %d" % self.mask if self.mask else ""),
            "FERRIN_UPLINK": self.uplink,
            "FERRIN_DELEGATED": str(d),
            "FERRIN_TUN_ADDRESS": "%s/%d" % (d[1], self.plen),
            "FERRIN_LAN": self.lan,
            "FERRIN_LAN_ADDRESS": "",
            "FERRIN_UNREACHABLE": "",
            "FERRIN_LAN_DNS": "",
            "FERRIN_LAN_FIREWALL": "yes",
        }
        if self.lan:
            lan = d if d.prefixlen == 64 else ipaddress.IPv6Network(
                (int(d.network_address) | self.lan_subnet_id << 64, 64))
            fields["FERRIN_LAN_ADDRESS"] = "%s/64" % lan[1]
            fields["FERRIN_UNREACHABLE"] = str(d) if d.prefixlen < 64 else ""
        return fields

    def wait_for_tunnel(self, first_last, not_pid=None):
        """Waits until a lease in first_last has a daemon running with its
        address on the interface; returns (leased address, daemon PID)."""
        def ready():
            env = self.site.env()
            if env is None or not in_range(env["FERRIN_MY_V4"], first_last):
                return None
            pid = self.site.daemon_pid()
            if pid is None or pid == not_pid:
                return None
            # The addr step has run to its end: the last of what it makes is there.
            want = self.expected(env["FERRIN_MY_V4"])
            addresses = self.site.ns.run("ip", "-6", "addr", "show", check=False).stdout
            routes = self.site.ns.run("ip", "-6", "route", "show", check=False).stdout
            done = ("inet6 %s " % want["FERRIN_TUN_ADDRESS"] in addresses
                    and re.search(r"(?m)^default dev %s " % TUN, routes)
                    and (not want["FERRIN_LAN_ADDRESS"]
                         or "inet6 %s " % want["FERRIN_LAN_ADDRESS"] in addresses)
                    and (not want["FERRIN_UNREACHABLE"]
                         or "unreachable %s " % want["FERRIN_UNREACHABLE"] in routes))
            return done and (env["FERRIN_MY_V4"], pid)
        def failure():
            return "a tunnel for a lease in %s-%s (environment %r, daemons %r, helper said %r)" % (
                first_last + (self.site.env(), self.site.started(),
                              self.capture.messages("ferrin-6rd")))
        return self.wait(ready, failure)

    def check_tunnel(self, v4, pid):
        want = self.expected(v4)
        self.assertEqual(self.site.env(), want)
        argv = read("/proc/%d/cmdline" % pid).split("\0")[:-1]
        self.assertEqual(argv, [os.path.abspath(netlab.BINARY), "-F"] + want["FERRIN_OPTS"].split()
                         + [TUN, want["FERRIN_PREFIX"], RELAYS[0], v4])
        addresses = self.site.ip6("addr", "show", "dev", TUN)
        routes = self.site.ip6("route", "show")
        self.assertIn("inet6 %s scope global" % want["FERRIN_TUN_ADDRESS"], addresses)
        self.assertRegex(routes, r"(?m)^default dev %s " % TUN)
        self.assertRegex(routes, r"(?m)^%s dev %s " % (re.escape(want["FERRIN_PREFIX"]), TUN))
        if self.lan:
            self.assertIn("inet6 %s scope global" % want["FERRIN_LAN_ADDRESS"],
                          self.site.ip6("addr", "show", "dev", self.lan))
            if want["FERRIN_UNREACHABLE"]:
                self.assertRegex(routes, r"(?m)^unreachable %s "
                                 % re.escape(want["FERRIN_UNREACHABLE"]))
        show("daemon command line (PID %d)" % pid, " ".join(argv))
        show("ip -6 addr (site)", self.site.ip6("addr", "show"))
        show("ip -6 route (site)", routes)

    def check_gone(self, fields):
        """Nothing of the tunnel of these environment fields is left."""
        addresses = self.site.ip6("addr", "show")
        routes = self.site.ip6("route", "show")
        self.assertNotIn("inet6 %s/" % fields["FERRIN_TUN_ADDRESS"].split("/")[0], addresses)
        if fields["FERRIN_LAN_ADDRESS"]:
            self.assertNotIn("inet6 %s/" % fields["FERRIN_LAN_ADDRESS"].split("/")[0], addresses)
        if fields["FERRIN_UNREACHABLE"]:
            self.assertNotIn("unreachable %s " % fields["FERRIN_UNREACHABLE"], routes)

    def ping_peer(self, v4):
        source = self.expected(v4)["FERRIN_TUN_ADDRESS"].split("/")[0]
        result = self.site.ns.run("ping", "-6", "-n", "-c", "3", "-i", "0.2", "-W", "5",
                                  "-I", source, self.peer.v6, check=False, timeout=60)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertRegex(result.stdout, r"3 packets transmitted, 3 received")
        show("ping from %s to the second site" % source, result.stdout.splitlines()[-2])

    def unchanged_count(self):
        return len(self.site.helper_messages("is unchanged; the tunnel runs on"))

    def renew_unchanged(self):
        before = self.unchanged_count()
        self.settle()
        self.client.renew()
        self.wait(lambda: self.unchanged_count() > before, "a renewal to reach the helper")

    def test_lease_renewal_new_address_release(self):
        show("%s, option 212 served by dnsmasq" % self.client.name, self.option)
        self.isp.serve(self.isp_if, FIRST_RANGE, self.option, self.client.server_t1, "first")
        self.client.start()
        v4, pid = self.wait_for_tunnel(FIRST_RANGE)
        show("dnsmasq", "\n".join(self.isp.option_lines()[:1]))
        self.check_tunnel(v4, pid)
        self.ping_peer(v4)

        # A renewal with the same values: the same daemon, the file untouched.
        before = os.stat(self.site.env_path())
        self.renew_unchanged()
        after = os.stat(self.site.env_path())
        self.assertEqual(self.site.daemon_pid(), pid)
        self.assertEqual((after.st_ino, after.st_mtime_ns), (before.st_ino, before.st_mtime_ns))
        self.assertEqual(len(self.site.started()), 1)
        show("PIDs across a renewal", "%d -> %d" % (pid, self.site.daemon_pid()))

        # Another address range: the old address is refused, the new one
        # brings the daemon up again with its own delegated prefix.
        old_fields = self.site.env()
        self.isp.serve(self.isp_if, SECOND_RANGE, self.option, self.client.server_t1, "second")
        self.settle()
        self.client.rebind()
        new_v4, new_pid = self.wait_for_tunnel(SECOND_RANGE, not_pid=pid)
        self.assertFalse(netlab.process_runs(pid, netlab.BINARY))
        self.check_tunnel(new_v4, new_pid)
        self.check_gone(old_fields)
        self.ping_peer(new_v4)
        show("PIDs across an address change", "%s %d -> %s %d" % (v4, pid, new_v4, new_pid))

        # A release: no daemon, no interface, no address, route or file.
        new_fields = self.site.env()
        self.settle()
        self.client.release()
        self.wait(lambda: self.site.env() is None and self.site.daemon_pid() is None,
                  "the release to stop the tunnel")
        self.wait(lambda: not self.site.ns.link_exists(TUN), "the tun interface to go")
        self.check_gone(new_fields)
        self.assertNotRegex(self.site.ip6("route", "show"), r"(?m)^(default|unreachable) ")
        self.assertEqual(self.site.helper_messages("stopping")[-1:], [self.ended_message()])
        # The helper's children get the standard three only.
        self.assertEqual(set(self.site.descriptors()), {"0 1 2"})
        show("after the release: ip -6 addr, ip -6 route (site)",
             self.site.ip6("addr", "show") + self.site.ip6("route", "show"))

    def ended_message(self):
        return "ferrin@%s: stopping: the lease on %s ended or lost its 6rd option" % (
            TUN, self.uplink)

    def bad_option_stops_the_tunnel(self, message):
        """A renewal whose option 212 has IPv4MaskLen 40 gives message and
        stops the tunnel; nothing is started again."""
        self.isp.serve(self.isp_if, FIRST_RANGE, self.option, self.client.server_t1, "bad")
        self.client.start()
        self.wait_for_tunnel(FIRST_RANGE)
        fields = self.site.env()

        bad = option_212(40, self.plen, self.prefix, RELAYS)
        self.isp.serve(self.isp_if, FIRST_RANGE, bad, self.client.server_t1, "bad")
        self.settle()
        self.client.renew()
        record = self.capture.wait("ferrin-6rd", message, timeout=WAIT)
        self.wait(lambda: self.site.env() is None and self.site.daemon_pid() is None,
                  "the bad option to stop the tunnel")
        self.wait(lambda: not self.site.ns.link_exists(TUN), "the tun interface to go")
        self.check_gone(fields)
        self.assertEqual(len(self.site.started()), 1)
        show("%s, option 212 %s gives (syslog, PID %s)" % (self.client.name, bad, record.pid),
             "\n".join(r.raw.strip() for r in self.capture.records("ferrin-6rd")
                       if r.pid == record.pid))
        return record

    def stop_keeping_the_lease(self):
        """A tunnel from a lease, then the client stopped without a release
        and the server gone; returns (leased address, daemon PID) of it."""
        self.isp.serve(self.isp_if, FIRST_RANGE, self.option, self.client.server_t1, "recorded")
        self.client.start()
        v4, pid = self.wait_for_tunnel(FIRST_RANGE)
        self.settle()
        self.client.stop()
        self.wait(lambda: self.site.env() is None and self.site.daemon_pid() is None,
                  "the client's stop to stop the tunnel")
        self.isp.stop()
        self.client.fall_back_soon()
        return v4, pid

    def recorded_lease_brings_the_tunnel_up(self, v4, pid):
        """With no server there, only the recorded lease can do it."""
        new_v4, new_pid = self.wait_for_tunnel(FIRST_RANGE, not_pid=pid)
        self.assertEqual(new_v4, v4)
        self.check_tunnel(v4, new_pid)
        self.ping_peer(v4)


class DhclientLease(LeaseStory, unittest.TestCase):
    """dhclient: no common bits, a /64, any uplink, no LAN."""
    client_class = Dhclient

    def test_recorded_lease_when_no_server_answers(self):
        """dhclient-script keeps the recorded lease only while its router
        answers a ping: no tunnel on a lease it drops, one on a lease it keeps."""
        v4, pid = self.stop_keeping_the_lease()
        self.isp.ns.sysctl("net.ipv4.icmp_echo_ignore_all", 1)
        self.client.start()
        self.client.process.wait_stderr("No working leases in persistent database", WAIT)
        self.assertIn("Trying recorded lease %s" % v4, self.client.process.stderr())
        self.assertEqual(len(self.site.started()), 1)
        self.assertIsNone(self.site.env())
        self.isp.ns.sysctl("net.ipv4.icmp_echo_ignore_all", 0)
        self.recorded_lease_brings_the_tunnel_up(v4, pid)


class DhcpcdLease(LeaseStory, unittest.TestCase):
    """dhcpcd: 8 common bits, a /56 with subnet 1 on a LAN, the uplink named."""
    client_class = Dhcpcd
    mask = 8
    lan_subnet_id = 1
    uplink_setting = True

    def test_bad_option_stops_the_tunnel(self):
        record = self.bad_option_stops_the_tunnel(
            "%s: IPv4MaskLen 40: out of range (0 to 32)" % self.uplink)
        self.assertEqual(record.severity, 3)  # LOG_ERR

    def test_recorded_lease_when_no_server_answers(self):
        v4, pid = self.stop_keeping_the_lease()
        self.client.start()
        self.assertEqual(self.client.process.wait_stderr("using last lease", WAIT).count(
            "timed out contacting a DHCP server, using last lease"), 1)
        self.recorded_lease_brings_the_tunnel_up(v4, pid)


class UdhcpcLease(LeaseStory, unittest.TestCase):
    """udhcpc (the prefix written out in full): 16 common bits in 3fff::/20, a
    /36 with subnet 2a on a LAN."""
    client_class = Udhcpc
    mask, plen, prefix = 16, 20, "3fff::"
    lan_subnet_id = 0x2a

    def test_bad_option_stops_the_tunnel(self):
        # udhcpc itself drops an option whose IPv4MaskLen is above 32: the
        # hook sees a lease without the option.
        self.bad_option_stops_the_tunnel(self.ended_message())


class DirectCalls(unittest.TestCase):
    """The helper called directly, as hooks call it: a settings file it must
    not read, settings changed between two leases, damaged state, two
    uplinks' leases at the same moment. The leased addresses are on the
    site's loopback, so that the daemons the stand-in starts can bind."""

    LEASED = ("192.0.2.10", "192.0.2.11")

    def setUp(self):
        self.lab = netlab.Lab()
        self.addCleanup(self.lab.close)
        self.capture = SyslogCapture(self.lab)
        self.addCleanup(self.capture.close)
        self.capture.drain_in_background()
        self.site = DhcpSite(self.lab, self.capture)
        for v4 in self.LEASED:
            self.site.ns.run("ip", "addr", "add", v4 + "/32", "dev", "lo")

    def helper(self, *args):
        return netlab.run(self.site.within().command(HELPER, *args), check=False, timeout=60)

    def up(self, uplink, v4):
        return self.helper("up", uplink, v4, "0", "32", "2001:db8::", RELAYS[0])

    def wait_running(self, tun, v4):
        """Waits until one daemon runs, for tun and v4, and the addr step has
        ended (its last act is the copy of the environment file it applied)."""
        def one():
            running = self.site.running()
            applied = os.path.join(self.site.run_upper, "ferrin", tun + ".up")
            return (len(running) == 1 and running[0][-4:-2] == [tun, "2001:db8::/32"]
                    and running[0][-1] == v4 and os.path.exists(applied)
                    and read(applied) == read(self.site.env_path(tun)) and running)
        return netlab.wait_for(one, WAIT, what=lambda: "one daemon for %s %s (running %r, "
                               "helper said %r)" % (tun, v4, self.site.running(),
                                                    self.capture.messages("ferrin-6rd")))

    def test_a_fifo_is_refused_at_once(self):
        os.mkfifo(self.site.settings_file())
        # No writer ever comes: reading it would wait for ever.
        result = self.up("eth0", "192.0.2.1")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(self.capture.messages("ferrin-6rd"),
                         ["%s: not a regular file" % settings_path()])
        self.assertIsNone(self.site.env())
        self.assertEqual(self.site.started(), [])

    def test_settings_changed_between_two_leases(self):
        self.site.write_settings("daemon_options = -u nobody\nuplink = upa\n")
        self.assertEqual(self.up("upa", self.LEASED[0]).returncode, 0)
        self.wait_running(TUN, self.LEASED[0])
        # Another uplink named: its lease takes the tunnel over.
        self.site.write_settings("daemon_options = -u nobody\nuplink = upb\n")
        self.assertEqual(self.up("upb", self.LEASED[1]).returncode, 0)
        self.wait_running(TUN, self.LEASED[1])
        self.assertEqual(self.site.env()["FERRIN_UPLINK"], "upb")
        # Another tunnel named: the old one stops and leaves nothing behind.
        self.site.write_settings("daemon_options = -u nobody\nuplink = upb\ntunnel = tun6rd1\n")
        self.assertEqual(self.up("upb", self.LEASED[1]).returncode, 0)
        self.wait_running("tun6rd1", self.LEASED[1])
        self.assertIsNone(self.site.env(TUN))
        netlab.wait_for(lambda: not self.site.ns.link_exists(TUN), WAIT, what=TUN + " to go")
        messages = self.capture.messages("ferrin-6rd")
        self.assertIn("ferrin@%s: stopping: the settings now name the uplink upb, not upa" % TUN,
                      messages)
        self.assertIn("ferrin@%s: stopping: the settings now name the tunnel tun6rd1" % TUN,
                      messages)
        self.assertEqual(self.helper("down", "upb").returncode, 0)
        netlab.wait_for(lambda: not self.site.running(), WAIT, what="the last daemon to stop")
        self.assertIsNone(self.site.env("tun6rd1"))
        show("settings changed between leases (syslog)", "\n".join(messages))

    def test_damaged_environment_file_is_the_callers(self):
        self.site.write_settings("daemon_options = -u nobody\n")
        for damage in (lambda text: text[:len(text) // 2], lambda text: ""):
            self.assertEqual(self.up("upa", self.LEASED[0]).returncode, 0)
            self.wait_running(TUN, self.LEASED[0])
            text = read(self.site.env_path())
            write(self.site.env_path(), damage(text))
            # A lease on another uplink: the damaged file is its to replace.
            self.assertEqual(self.up("upb", self.LEASED[1]).returncode, 0)
            self.wait_running(TUN, self.LEASED[1])
            self.assertEqual(self.site.env()["FERRIN_UPLINK"], "upb")
            write(self.site.env_path(), damage(text))
            # And whoever's down stops and removes it.
            self.assertEqual(self.helper("down", "upc").returncode, 0)
            netlab.wait_for(lambda: not self.site.running(), WAIT, what="the daemon to stop")
            self.assertIsNone(self.site.env())
        show("damaged environment files (syslog)", "\n".join(self.capture.messages("ferrin-6rd")))

    def test_two_uplinks_at_the_same_moment(self):
        self.site.write_settings("daemon_options = -u nobody\n")
        # Both in one view of /run: two mounts of the same overlay would not
        # share the lock, as no real host has two /run.
        script = ('"$0" up upa %s 0 32 2001:db8:: %s & a=$!; "$0" up upb %s 0 32 2001:db8:: %s; '
                  'b=$?; wait $a; echo $? $b' % (self.LEASED[0], RELAYS[0], self.LEASED[1],
                                                  RELAYS[0]))
        for round in range(3):
            before = len(self.capture.messages("ferrin-6rd"))
            result = netlab.run(self.site.within().command("sh", "-c", script, HELPER),
                                check=False, timeout=60)
            said = self.capture.messages("ferrin-6rd")[before:]
            self.assertEqual(result.stdout.split(), ["0", "0"], (said, result.stderr))
            starting = [m for m in said if ": starting: " in m]
            left = [m for m in said if "; the lease on " in m and m.endswith("is left alone")]
            self.assertEqual((len(starting), len(left)), (1, 1), said)
            winner = self.site.env()["FERRIN_UPLINK"]
            self.assertIn("(lease on %s)" % winner, starting[0])
            self.wait_running(TUN, self.site.env()["FERRIN_MY_V4"])
            self.assertEqual(self.helper("down", winner).returncode, 0)
            netlab.wait_for(lambda: not self.site.running(), WAIT, what="the daemon to stop")
            show("round %d: two leases at once" % round, "\n".join(said))


if __name__ == "__main__":
    unittest.main()
