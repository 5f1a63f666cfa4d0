# SPDX-License-Identifier: BSD-2-Clause
"""The Debian package, built from this tree, installed and run under a real
systemd: a bookworm machine (machine.py) booted once, with the package
installed, in a network namespace that the scenarios link to the world in
turn (their names give the order; each leaves the machine as the next
expects, and after one fails the later ones are skipped):

1. The operator's steps of the README: copy the example settings to
   /etc/ferrin/tun6rd0.env, add the README's drop-in for the addresses and
   routes, systemctl enable --now ferrin@tun6rd0, with a veth to another
   site of the domain where a plain ferrin runs; the package upgraded under
   the running tunnel; the settings taken away again.
2. With the ISP's dnsmasq outside (sites.Isp) serving option 212: ask
   dhclient for option-6rd and let the package's hook do the rest, a LAN
   host behind the machine included; the lease released.
3. A new lease, and the package removed under its tunnel, then purged.
"""

import os
import re
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import debian_package  # noqa: E402
import machine  # noqa: E402
import netlab  # noqa: E402
from sites import (ISP_PEER, ISP_PEER_SITE, ISP_SITE, MY_V4, PEER_SITE, PEER_V4,  # noqa: E402
                   PREFIX, RELAY, Isp, Site, delegated, lan_host, option_212)

TUN = "tun6rd0"
UNIT = "ferrin@%s.service" % TUN
ME = "2001:db8:c000:201::1"  # the README's address for 192.0.2.1
PING_COUNT = 3
EXAMPLE = "/usr/share/doc/ferrin/examples/ferrin.env.example"
# The README's drop-in: addresses and routes once the interface is there.
DROP_IN = """[Service]
ExecStartPost=+/usr/bin/timeout 5 /bin/sh -c 'until ip link show %i >/dev/null 2>&1; do sleep 0.1; done'
ExecStartPost=+/sbin/ip -6 addr add 2001:db8:c000:201::1/64 dev %i
ExecStartPost=+/sbin/ip -6 route add 2001:db8::/32 dev %i
ExecStartPost=+/sbin/ip -6 route add default dev %i
"""


class PackageUnderSystemd(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        netlab.require_namespaces()
        cls.changes = debian_package.build()
        cls.deb = debian_package.deb(cls.changes)
        cls.deb_inside = "/root/" + os.path.basename(cls.deb)
        cls.lab = netlab.Lab()
        cls.addClassCleanup(cls.lab.close)
        cls.box_ns = cls.lab.namespace("box")
        cls.box_ns.quiet_ipv6()
        # nspawn keeps /proc/sys read-only in a network namespace it was
        # given: forwarding for the LAN is the operator's to turn on, from outside.
        cls.box_ns.sysctl("net.ipv6.conf.all.forwarding", 1)
        cls.box = machine.Machine(cls.lab, cls.box_ns, machine.root_file_system())
        print("booted in %.1f s" % cls.box.boot_seconds)
        cls.box.copy_in(cls.deb, cls.deb_inside)
        cls.box.run("apt-get", "install", "--yes", "--no-install-recommends", cls.deb_inside,
                    env={"DEBIAN_FRONTEND": "noninteractive"}, timeout=300)
        cls.broken = None

    def scenario(self):
        """Marks the start of a scenario on the machine; it ends well with done()."""
        if type(self).broken:
            self.skipTest("%s failed: the machine is in an unknown state" % type(self).broken)
        type(self).broken = self.id().rsplit(".", 1)[-1]

    def done(self):
        type(self).broken = None

    def test_0_package_contents_and_lintian(self):
        listing = debian_package.file_list(self.deb)
        print("dpkg -c %s\n%s" % (os.path.basename(self.deb), listing))
        for path in ("./usr/sbin/ferrin", "./usr/sbin/ferrin-6rd",
                     "./usr/share/man/man8/ferrin.8.gz", "./etc/ferrin/dhcp.conf",
                     "./etc/dhcp/dhclient-exit-hooks.d/ferrin",
                     "./lib/systemd/system/ferrin@.service",
                     "./usr/share/doc/ferrin/examples/ferrin.env.example",
                     "./usr/lib/sysusers.d/ferrin.conf", "./usr/share/doc/ferrin/copyright",
                     "./usr/share/doc/ferrin/NEWS.md.gz"):
            self.assertIn(" " + path + "\n", listing)
        # Whatever the build installs below /etc is the administrator's to
        # change: dpkg keeps such changes only for conffiles.
        self.assertEqual(debian_package.etc_files(self.deb) - debian_package.conffiles(self.deb),
                         set())
        status, findings = debian_package.lintian(self.changes)
        print("lintian --fail-on error --display-info --pedantic: status %d\n%s"
              % (status, findings or "(nothing)"))
        self.assertEqual(status, 0, findings)
        self.assertNotRegex(findings, re.compile(r"^E: ", re.M))
        # debian/changelog names the version the build gives the programs.
        self.assertEqual(debian_package.version(self.deb), debian_package.project_version())

    def test_1_tunnel_unit_under_systemd(self):
        self.scenario()
        lab, box_ns, box = self.lab, self.box_ns, self.box
        other = Site(lab, PEER_V4, PEER_SITE)
        box_if, other_if = lab.veth(box_ns, MY_V4, other.ns, PEER_V4)
        box_ns.run("ip", "route", "add", PEER_V4 + "/32", "dev", box_if)
        other.ns.run("ip", "route", "add", MY_V4 + "/32", "dev", other_if)
        other.start()

        # Installed, and nothing runs or starts by itself.
        self.assertEqual(box.run("systemctl", "list-units", "--all", "--plain", "--no-legend",
                                 "ferrin@*").stdout.strip(), "")
        self.assertEqual(box.run("systemctl", "is-enabled", UNIT, check=False).stdout.strip(),
                         "disabled")
        self.assertFalse(box_ns.link_exists(TUN))
        self.assertEqual(box.run("ferrin-6rd", "--version").stdout,
                         "ferrin-6rd %s\n" % debian_package.version(self.deb))
        account = box.run("getent", "passwd", "ferrin").stdout.strip().split(":")
        self.assertEqual(account[5:], ["/nonexistent", "/usr/sbin/nologin"], account)
        self.assertNotEqual(box.run("test", "-e", "/nonexistent", check=False).returncode, 0)

        box.run("mkdir", "-p", "/etc/ferrin")
        box.run("cp", EXAMPLE, "/etc/ferrin/%s.env" % TUN)
        box.write("/etc/systemd/system/%s.d/addresses.conf" % UNIT, DROP_IN)
        box.run("systemctl", "daemon-reload")
        box.run("systemctl", "enable", "--now", UNIT)
        box.wait_unit(UNIT, ActiveState="active", SubState="running")
        flags, mtu = box_ns.link_info(TUN)
        self.assertIn("UP", flags)
        self.assertEqual(mtu, 1280)
        print("systemctl enable --now %s: active, %s up, MTU %d" % (UNIT, TUN, mtu))

        self.ping(box)

        # The daemon switched to the package's user and kept no capability.
        main_pid = box.unit(UNIT, "MainPID")["MainPID"]
        status = box.run("cat", "/proc/%s/status" % main_pid).stdout
        fields = dict(line.split(":\t", 1) for line in status.splitlines() if ":\t" in line)
        uid = box.run("id", "-u", "ferrin").stdout.strip()
        self.assertEqual(fields["Uid"].split(), [uid] * 4)
        self.assertEqual(int(fields["CapEff"], 16), 0)
        print("daemon PID %s runs as ferrin (uid %s), no capability left" % (main_pid, uid))

        # One statistics line in the unit's journal: syslog, not also stderr.
        box.run("systemctl", "kill", "--kill-whom=main", "--signal=USR1", UNIT)
        netlab.wait_for(lambda: "Ipkts " in box.journal(UNIT), what="the statistics line")
        lines = [l for l in box.journal(UNIT).splitlines() if "Ipkts " in l]
        self.assertEqual(len(lines), 1, lines)
        counters = netlab.parse_counters(lines[0])
        self.assertEqual((counters["Opkts"], counters["Ipkts"]), (PING_COUNT, PING_COUNT), lines)
        print("journalctl -u %s: %s" % (UNIT, lines[0]))

        # Killed, it is started again, interface, addresses and all.
        box.run("systemctl", "kill", "--kill-whom=main", "--signal=KILL", UNIT)
        again = box.wait_unit(UNIT, timeout=30, ActiveState="active", SubState="running",
                              NRestarts="1")
        restarted_pid = box.unit(UNIT, "MainPID")["MainPID"]
        self.assertNotEqual(restarted_pid, main_pid)
        self.ping(box)
        print("after SIGKILL: restarted (NRestarts=%s, PID %s -> %s), ping answered"
              % (again["NRestarts"], main_pid, restarted_pid))

        # Installing the same package again takes an upgrade's path: the
        # running tunnel is restarted on the binary just installed.
        box.run("dpkg", "-i", self.deb_inside, timeout=300)
        box.wait_unit(UNIT, ActiveState="active", SubState="running")
        upgraded_pid = box.unit(UNIT, "MainPID")["MainPID"]
        self.assertNotEqual(upgraded_pid, restarted_pid)
        self.assertTrue(box_ns.link_exists(TUN))
        self.ping(box)
        print("dpkg -i over the running tunnel: restarted (PID %s -> %s), ping answered"
              % (restarted_pid, upgraded_pid))

        box.run("systemctl", "stop", UNIT)
        stopped = box.unit(UNIT, "ActiveState", "Result", "ExecMainStatus", "ExecMainCode")
        self.assertEqual(stopped, {"ActiveState": "inactive", "Result": "success",
                                   "ExecMainStatus": "0", "ExecMainCode": "1"})
        self.assertFalse(box_ns.link_exists(TUN))
        self.assertIn("ferrin/1.6 exiting", box.journal(UNIT))
        print("systemctl stop %s: %s, interface gone" % (UNIT, stopped))

        security = box.run("systemd-analyze", "security", "--no-pager", UNIT).stdout
        print("systemd-analyze security %s\n%s" % (UNIT, security))
        score = re.search(r"Overall exposure level for %s: (\d+\.\d+) (\S+)" % re.escape(UNIT),
                          security)
        self.assertIsNotNone(score, security)

        # The operator's settings go again, and the link to the other site.
        box.run("systemctl", "disable", UNIT)
        box.run("rm", "-r", "/etc/ferrin/%s.env" % TUN, "/etc/systemd/system/%s.d" % UNIT)
        box.run("systemctl", "daemon-reload")
        box_ns.run("ip", "link", "del", box_if)
        self.done()

    def test_2_a_lease_through_dhclient_brings_the_tunnel_up(self):
        self.scenario()
        lab, box_ns, box = self.lab, self.box_ns, self.box
        isp = Isp(lab)
        peer = delegated("2001:db8::", 32, 0, ISP_PEER_SITE)
        other = Site(lab, ISP_PEER_SITE, str(peer[1]))
        lab.veth(other.ns, ISP_PEER_SITE, isp.ns, ISP_PEER, prefix_len=25)
        other.ns.run("ip", "route", "add", "default", "via", ISP_PEER)
        other.start()
        uplink, isp_if = lab.veth(box_ns, None, isp.ns, ISP_SITE, prefix_len=25)
        type(self).uplink = uplink
        option = option_212(0, 32, "2001:db8::", [RELAY])
        isp.serve(isp_if, ("192.0.2.10", "192.0.2.20"), option)
        # A LAN host that runs nothing but the kernel's SLAAC.
        lan, host, host_if = lan_host(lab, box_ns)

        # The lines an operator adds; the package's hook and settings do the rest.
        box.run("sh", "-c", "echo 'also request option-6rd;' >> /etc/dhcp/dhclient.conf")
        box.run("sh", "-c", "echo 'lan_interface = %s' >> /etc/ferrin/dhcp.conf" % lan)
        box.run("dhclient", "-1", uplink, timeout=60)
        box.wait_unit(UNIT, timeout=60, ActiveState="active", SubState="running")
        env = dict(line.split("=", 1) for line in
                   box.run("cat", "/run/ferrin/%s.env" % TUN).stdout.replace('"', "").split()
                   if "=" in line)
        mine = delegated("2001:db8::", 32, 0, env["FERRIN_MY_V4"])
        address = "%s/32" % mine[1]

        def configured():
            addresses = box.run("ip", "-6", "-o", "addr", "show", "dev", TUN, check=False).stdout
            routes = box.run("ip", "-6", "route", "show", "dev", TUN, check=False).stdout
            return (address in addresses and "default" in routes) and (addresses, routes)
        addresses, routes = netlab.wait_for(configured, 30, what="the address and routes")
        self.assertIn("2001:db8::/32", routes)
        line = box.run("ps", "-o", "user=,args=", "-p", box.unit(UNIT, "MainPID")["MainPID"],
                       check=False).stdout.strip() or box.run(
            "cat", "/proc/%s/cmdline" % box.unit(UNIT, "MainPID")["MainPID"]).stdout
        print("option 212 served: %s\n/run/ferrin/%s.env:\n%s\ndaemon: %s\n"
              "ip -6 addr show dev %s:\n%sip -6 route show dev %s:\n%s"
              % (option, TUN, box.run("cat", "/run/ferrin/%s.env" % TUN).stdout,
                 line.replace("\0", " "), TUN, addresses, TUN, routes))
        self.assertEqual((env["FERRIN_PREFIX"], env["FERRIN_RELAY"]), (PREFIX, RELAY))
        self.ping(box, str(mine[1]), str(peer[1]))

        # The LAN: the host's address from the router advertisements of the
        # project's radvd unit, its default route via the box, a ping across.
        def host_configured():
            addresses = host.run("ip", "-6", "-o", "addr", "show", "dev", host_if).stdout
            routes = host.run("ip", "-6", "route", "show", "default").stdout
            found = re.search(r"inet6 (%s[0-9a-f:]+)/64 scope global dynamic"
                              % re.escape(str(mine.network_address)[:-1]), addresses)
            return found and "proto ra" in routes and (found.group(1), addresses, routes)
        host_address, addresses, routes = netlab.wait_for(host_configured, 30,
                                                          what="the LAN host's address")
        radvd = "ferrin-radvd@%s.service" % TUN
        box.wait_unit(radvd, ActiveState="active", SubState="running")
        result = host.run("ping", "-6", "-n", "-c", str(PING_COUNT), "-i", "0.2", "-W", "5",
                          "-I", host_address, str(peer[1]), check=False, timeout=60)
        print("LAN host: ip -6 addr\n%sip -6 route show default\n%sping to %s: %s\n"
              "ferrin-6rd status:\n%s" % (addresses, routes, peer[1],
                                          result.stdout.splitlines()[-2],
                                          box.run("ferrin-6rd", "status").stdout))
        self.assertIn("%d packets transmitted, %d received" % (PING_COUNT, PING_COUNT),
                      result.stdout, result.stdout + result.stderr + box.run(
                          "journalctl", "--identifier=ferrin-6rd", "--output=cat",
                          "--no-pager").stdout)

        # The lease released: the tunnel stops, and what the lease made goes;
        # the LAN host loses its default route.
        box.run("dhclient", "-r", uplink, timeout=60)
        box.wait_unit(UNIT, timeout=30, ActiveState="inactive")
        netlab.wait_for(lambda: "default" not in host.run("ip", "-6", "route", "show",
                                                         "default").stdout,
                        30, what=lambda: "the LAN host's default route to go:\n" + box.run(
                            "journalctl", "--output=short", "--no-pager").stdout[-6000:])
        # radvd goes on announcing the stale prefix; its own stop is clean.
        box.run("systemctl", "stop", radvd)
        stopped = box.unit(radvd, "ActiveState", "Result")
        self.assertEqual(stopped, {"ActiveState": "inactive", "Result": "success"})
        print("systemctl stop %s: %s\n%s" % (radvd, stopped, box.journal(radvd)))
        self.assertFalse(box_ns.link_exists(TUN))
        self.assertNotEqual(box.run("test", "-e", "/run/ferrin/%s.env" % TUN,
                                    check=False).returncode, 0)
        print("ferrin-6rd in the journal:\n" + box.run(
            "journalctl", "--identifier=ferrin-6rd", "--output=cat", "--no-pager").stdout)
        self.done()

    def test_3_package_removed_under_a_running_tunnel_and_purged(self):
        self.scenario()
        box, box_ns = self.box, self.box_ns
        # Removing the package stops a running tunnel; purging it removes the state.
        box.run("dhclient", "-1", self.uplink, timeout=60)
        box.wait_unit(UNIT, timeout=60, ActiveState="active", SubState="running")
        exits = box.journal(UNIT).count("ferrin/1.6 exiting")
        box.run("dpkg", "--remove", "ferrin", timeout=300)
        self.assertEqual(box.unit(UNIT, "ActiveState")["ActiveState"], "inactive",
                         box.journal(UNIT)[-3000:])
        self.assertFalse(box_ns.link_exists(TUN))
        self.assertEqual(box.journal(UNIT).count("ferrin/1.6 exiting"), exits + 1)
        state = ("/var/lib/ferrin", "/run/ferrin")
        for folder in state:
            box.write(folder + "/left-behind", "")
        box.run("dpkg", "--purge", "ferrin", timeout=300)
        self.assertEqual([f for f in state if box.run("test", "-e", f, check=False).returncode == 0],
                         [])
        print("dpkg --remove: %s stopped, interface gone; dpkg --purge: %s removed"
              % (UNIT, " and ".join(state)))

        started = time.monotonic()
        self.assertEqual(box.power_off(), 0, box.console()[-2000:])
        print("powered off in %.1f s" % (time.monotonic() - started))
        self.done()

    def ping(self, box, source=ME, target=PEER_SITE):
        result = box.run("ping", "-6", "-n", "-c", str(PING_COUNT), "-i", "0.2", "-W", "5",
                         "-I", source, target, check=False, timeout=60)
        self.assertIn("%d packets transmitted, %d received" % (PING_COUNT, PING_COUNT),
                      result.stdout, result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main()
