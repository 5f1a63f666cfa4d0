# SPDX-License-Identifier: BSD-2-Clause
"""scripts/demo.sh against the binary under test: the ping crosses the tunnel,
the statistics lines count exactly that ping, and nothing the demo made is
left behind, whether it runs to the end or is interrupted."""

import os
import re
import signal
import subprocess
import time
import unittest

import netlab

DEMO = os.path.join(netlab.ROOT, "scripts", "demo.sh")

# Three echo requests of 56 data bytes: 104-byte IPv6 packets, one way and back.
PING_COUNT = 3
PING_BYTES = 104


class DemoRun:
    """One run of the demo, in its own session so that SIGINT reaches it like a
    Ctrl-C would, with the ordinary SIGINT disposition."""

    def __init__(self):
        env = dict(os.environ, FERRIN_BINARY=netlab.BINARY)
        self.output = b""
        self.process = subprocess.Popen(
            [DEMO], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
            env=env, start_new_session=True,
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        os.set_blocking(self.process.stdout.fileno(), False)
        # The demo names its namespaces after its own PID.
        self.namespaces = ["ferrin-demo-%d-%s" % (self.process.pid, site) for site in "abh"]

    def read(self):
        chunk = self.process.stdout.read()
        if chunk:
            self.output += chunk
        return self.output.decode("utf-8", "replace")

    def wait_text(self, text, timeout=30.0):
        return netlab.wait_for(lambda: text in self.read() or self.process.poll() is not None,
                               timeout, what="%r in the demo's output" % text)

    def finish(self, timeout=60.0):
        deadline = time.monotonic() + timeout
        while self.process.poll() is None and time.monotonic() < deadline:
            self.read()
            time.sleep(0.02)
        if self.process.poll() is None:
            raise AssertionError("demo still running after %.0fs:\n%s" % (timeout, self.read()))
        self.read()
        return self.process.returncode

    def daemon_pids(self):
        match = re.search(r"site A PID (\d+), site B PID (\d+)", self.read())
        return [int(match.group(1)), int(match.group(2))] if match else []

    def leftovers(self):
        listed = netlab.run(["ip", "netns", "list"]).stdout
        names = [ns for ns in self.namespaces if ns in listed]
        pids = [pid for pid in self.daemon_pids() if netlab.process_runs(pid, netlab.BINARY)]
        return names, pids

    def close(self):
        """Takes down whatever a failed run left: the demo itself, its daemons
        (only while they still run the binary under test) and its namespaces."""
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=10)
        for pid in self.daemon_pids():
            if netlab.process_runs(pid, netlab.BINARY):
                os.kill(pid, signal.SIGKILL)
        for ns in self.namespaces:
            subprocess.run(["ip", "netns", "del", ns], capture_output=True, timeout=30)
        self.process.stdout.close()


def statistics(output, site):
    line = re.search(r"site %s: \S+: (Ipkts .*)" % site, output)
    if line is None:
        raise AssertionError("no statistics line for site %s in:\n%s" % (site, output))
    return netlab.parse_counters(line.group(1))


class DemoTest(unittest.TestCase):

    def run_demo(self):
        netlab.require_namespaces()
        demo = DemoRun()
        self.addCleanup(demo.close)
        return demo

    def test_ping_crosses_and_nothing_is_left(self):
        demo = self.run_demo()
        status = demo.finish()
        output = demo.read()
        self.assertEqual(status, 0, output)
        self.assertIn("%d packets transmitted, %d received, 0%% packet loss"
                      % (PING_COUNT, PING_COUNT), output)
        self.assertIn("2001:db8::/32 + 192.0.2.1 -> 2001:db8:c000:201::/64", output)
        self.assertIn("2001:db8::/32 + 198.51.100.7 -> 2001:db8:c633:6407::/64", output)
        # Each site sends and delivers exactly the ping's packets: the demo keeps
        # the kernel's own IPv6 chatter off the tunnel.
        for site in ("A", "B"):
            with self.subTest(site=site):
                self.assertEqual(statistics(output, site), {
                    "Ipkts": PING_COUNT, "Ierrs": 0, "Irjct": 0, "Ibytes": PING_COUNT * PING_BYTES,
                    "Opkts": PING_COUNT, "Oerrs": 0, "Orjct": 0, "Obytes": PING_COUNT * PING_BYTES})
        self.assertIn("site A: out 2001:db8:c000:201::1 2001:db8:c633:6407::1 n=58 s=104", output)
        self.assertIn("site B: in  2001:db8:c633:6407::1 2001:db8:c000:201::1 192.0.2.1 n=58 s=104",
                      output)
        # radvd ran with what ferrin-6rd writes for site A's lease, and the LAN
        # host configured itself from its advertisements and got through.
        self.assertRegex(output, r"ferrin-6rd show --settings dhcp.conf --radvd 192.0.2.1 0 32 "
                                 r"2001:db8:: 203.0.113.1 > radvd.conf\n\s+# Router advertisements "
                                 r"for the LAN of tunnel tun6rd0, written by ferrin-6rd")
        self.assertRegex(output, r"\n\s+prefix 2001:db8:c000:201::/64 \{\n")
        self.assertRegex(output, r"LAN host# ping .* -I 2001:db8:c000:201:\S+ 2001:db8:c633:6407::1\n"
                                 r"(.*\n)*?\s+3 packets transmitted, 3 received, 0% packet loss")
        self.assertEqual(len(demo.daemon_pids()), 2, output)
        for pid in demo.daemon_pids():
            self.assertIn("PID %d ended with status 0" % pid, output)
        self.assertEqual(demo.leftovers(), ([], []))

    def test_interrupt_removes_everything(self):
        # Interrupted with both daemons up, during the ping, and with radvd
        # and the LAN host up.
        for marker in ("both running", "[6/9]", "[8/9]"):
            with self.subTest(interrupted_after=marker):
                demo = self.run_demo()
                demo.wait_text(marker)
                self.assertIsNone(demo.process.poll(), demo.read())
                os.killpg(demo.process.pid, signal.SIGINT)
                status = demo.finish()
                output = demo.read()
                self.assertEqual(status, 130, output)
                self.assertIn("interrupted: removing what the demo made", output)
                self.assertEqual(len(demo.daemon_pids()), 2, output)
                self.assertEqual(demo.leftovers(), ([], []))


if __name__ == "__main__":
    unittest.main()
