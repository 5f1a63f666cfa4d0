# SPDX-License-Identifier: BSD-2-Clause
"""The Debian package, built from this tree, installed and run under a real
systemd: a bookworm machine (machine.py) booted in a network namespace that
a veth joins to another site of the domain, where a plain ferrin runs.

The operator's steps are the README's: install the .deb, copy the example
settings to /etc/ferrin/tun6rd0.env, add the README's drop-in for the
addresses and routes, systemctl enable --now ferrin@tun6rd0.
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
from sites import MY_V4, PEER_SITE, PEER_V4, Site  # noqa: E402

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

    def test_package_contents_and_lintian(self):
        listing = debian_package.file_list(self.deb)
        print("dpkg -c %s\n%s" % (os.path.basename(self.deb), listing))
        for path in ("./usr/sbin/ferrin", "./usr/share/man/man8/ferrin.8.gz",
                     "./lib/systemd/system/ferrin@.service",
                     "./usr/share/doc/ferrin/examples/ferrin.env.example",
                     "./usr/lib/sysusers.d/ferrin.conf", "./usr/share/doc/ferrin/copyright"):
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

    def test_tunnel_unit_under_systemd(self):
        lab = netlab.Lab()
        self.addCleanup(lab.close)
        box_ns = lab.namespace("box")
        box_ns.quiet_ipv6()
        other = Site(lab, PEER_V4, PEER_SITE)
        box_if, other_if = lab.veth(box_ns, MY_V4, other.ns, PEER_V4)
        box_ns.run("ip", "route", "add", PEER_V4 + "/32", "dev", box_if)
        other.ns.run("ip", "route", "add", MY_V4 + "/32", "dev", other_if)
        other.start()

        box = machine.Machine(lab, box_ns, machine.root_file_system())
        print("booted in %.1f s" % box.boot_seconds)
        deb = "/root/" + os.path.basename(self.deb)
        box.copy_in(self.deb, deb)
        box.run("apt-get", "install", "--yes", "--no-install-recommends", deb,
                env={"DEBIAN_FRONTEND": "noninteractive"}, timeout=300)

        # Installed, and nothing runs or starts by itself.
        self.assertEqual(box.run("systemctl", "list-units", "--all", "--plain", "--no-legend",
                                 "ferrin@*").stdout.strip(), "")
        self.assertEqual(box.run("systemctl", "is-enabled", UNIT, check=False).stdout.strip(),
                         "disabled")
        self.assertFalse(box_ns.link_exists(TUN))
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

        started = time.monotonic()
        self.assertEqual(box.power_off(), 0, box.console()[-2000:])
        print("powered off in %.1f s" % (time.monotonic() - started))

    def ping(self, box):
        result = box.run("ping", "-6", "-n", "-c", str(PING_COUNT), "-i", "0.2", "-W", "5",
                         "-I", ME, PEER_SITE, check=False, timeout=60)
        self.assertIn("%d packets transmitted, %d received" % (PING_COUNT, PING_COUNT),
                      result.stdout, result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main()
