# SPDX-License-Identifier: BSD-2-Clause
"""Faults of the host and the network that a daemon nobody watches must
outlive: its interface deleted, standard descriptors closed at the start,
packets that keep failing, a log reader that stops reading, an IPv4 path MTU
below the tunnel's, and too few descriptors to start.

Sites A (192.0.2.1) and B (198.51.100.7) of robustness_lab: B is A's peer,
everything else A sends leaves into a sink.
"""

import os
import signal
import socket
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import netlab  # noqa: E402
import packets  # noqa: E402
from netlab import processes_of, unique_name, wait_for  # noqa: E402
from robustness_lab import (A_V4, B_V4, B_V6, assert_forwarding, link_statistics,  # noqa: E402
                            raw_socket, two_sites)
from sites import PREFIX, RELAY  # noqa: E402
from syslog_capture import SyslogCapture  # noqa: E402

ABORTING = "ferrin: ferrin/1.6 aborting"
BURST = 3000
HELD = " more since the last message)"


def new_lines(daemon, since):
    """The lines a daemon wrote to standard error after the first since."""
    return daemon.stderr().splitlines()[since:]


def failures_told(lines, prefix):
    """How many failures the lines of one kind stand for: each line one,
    plus the count it says was held back."""
    total = 0
    for line in lines:
        if not line.startswith("ferrin: " + prefix):
            continue
        total += 1
        if line.endswith(HELD):
            total += int(line[:-len(HELD)].rsplit("(", 1)[1])
    return total


def paced(count, send, drained, batch=100):
    """Sends count packets in batches small enough for every queue on the
    way, each batch once the one before has been taken in (drained(sent))."""
    sent = 0
    while sent < count:
        for _ in range(min(batch, count - sent)):
            send()
            sent += 1
        wait_for(lambda: drained(sent), 20, interval=0.01,
                 what="%d packets to be taken in" % sent)


# The fast path: batches and the tunnel device's offloads.
BATCHES = ("-b", "32")


class UnattendedTest(unittest.TestCase):

    def test_deleted_interface_ends_the_daemon_with_two_lines(self):
        with netlab.Lab() as lab:
            a, b = two_sites(lab)
            assert_forwarding(self, a, b)
            since = len(a.daemon.stderr().splitlines())
            start = time.monotonic()
            a.ns.run("ip", "link", "del", a.tun)
            self.assertEqual(a.daemon.wait(timeout=10), 1)
            elapsed = time.monotonic() - start
            lines = new_lines(a.daemon, since)
            print("ended %.3f s after the interface was deleted: %r" % (elapsed, lines))
            self.assertEqual(len(lines), 2, lines)
            self.assertIn(lines[0], ("ferrin: read: tun: File descriptor in bad state",
                                     "ferrin: write: tun: File descriptor in bad state"))
            self.assertEqual(lines[1], ABORTING)
            self.assertLess(elapsed, 5.0)

    def check_on_null_and_forwarding(self, a, b, pid):
        """Descriptors 0 to 2 of pid are the null device, pings cross both
        ways, and nothing but IPv6 enters A's tun interface meanwhile, not
        even with the statistics (a message) asked for."""
        for fd in (0, 1, 2):
            self.assertEqual(os.readlink("/proc/%d/fd/%d" % (pid, fd)), "/dev/null")
        capture = packets.TunCapture(a.ns, a.tun)
        self.addCleanup(capture.close)
        os.kill(pid, signal.SIGUSR1)
        assert_forwarding(self, a, b)
        os.kill(pid, signal.SIGUSR1)
        seen, dropped = capture.close()
        self.assertEqual(dropped, 0)
        self.assertGreaterEqual(seen, 6)
        self.assertEqual({protocol for protocol, _ in capture.packets}, {packets.ETH_P_IPV6})

    def test_closed_standard_descriptors_are_never_the_tunnels(self):
        with netlab.Lab() as lab:
            a, b = two_sites(lab, start_a=False)

            a.tun = unique_name("tun")
            a.daemon = lab.daemon(["-F", a.tun, PREFIX, RELAY, A_V4], a.ns,
                                  closed_standard=True)
            wait_for(lambda: a.ns.link_exists(a.tun), what="the tun interface")
            a.address()
            self.check_on_null_and_forwarding(a, b, a.daemon.pid)
            self.assertEqual(a.daemon.stop(), 0)

            binary, _ = lab.program_copy("std")
            a.tun = unique_name("tun")
            starter = lab.daemon([a.tun, PREFIX, RELAY, A_V4], a.ns, binary=binary,
                                 closed_standard=True)
            self.assertEqual(starter.wait(timeout=20), 0)
            pids = processes_of(binary)
            for pid in pids:
                lab.adopt(pid, binary)
            self.assertEqual(len(pids), 1)
            wait_for(lambda: a.ns.link_exists(a.tun), what="the tun interface")
            a.address()
            self.check_on_null_and_forwarding(a, b, pids[0])

    def test_packets_that_keep_failing_are_all_counted_and_logged_briefly(self):
        self.packets_that_keep_failing_are_all_counted_and_logged_briefly(())

    def test_packets_that_keep_failing_in_batches_are_all_counted_and_logged_briefly(self):
        self.packets_that_keep_failing_are_all_counted_and_logged_briefly(BATCHES)

    def packets_that_keep_failing_are_all_counted_and_logged_briefly(self, options):
        with netlab.Lab() as lab:
            a, b = two_sites(lab, options, options)
            sock = a.udp_socket(self)

            # No IPv4 route to B: every send on A's raw socket fails.
            a.ns.run("ip", "route", "replace", "unreachable", B_V4 + "/32")
            since = len(a.daemon.stderr().splitlines())
            tun, counters = link_statistics(a.ns, a.tun), a.daemon.statistics()

            def read_by_a(sent):
                now = link_statistics(a.ns, a.tun)
                return now["tx_packets"] + now["tx_dropped"] - tun["tx_packets"] - \
                    tun["tx_dropped"] >= sent
            paced(BURST, lambda: sock.sendto(b"burst", (B_V6, 9)), read_by_a)
            after = a.daemon.statistics()
            now = link_statistics(a.ns, a.tun)
            self.assertEqual(now["tx_dropped"], tun["tx_dropped"])
            self.assertEqual(now["tx_packets"] - tun["tx_packets"], BURST)
            self.assertEqual(after["Oerrs"] - counters["Oerrs"], BURST)
            self.assertEqual(after["Opkts"], counters["Opkts"])
            lines = [l for l in new_lines(a.daemon, since) if "sendto: raw:" in l]
            print("%d failed sends, %d lines: %r" % (BURST, len(lines), lines[-3:]))
            self.assertLessEqual(len(lines), 30)
            self.assertEqual(failures_told(lines, "sendto: raw:"), BURST)

            a.ns.run("ip", "route", "replace", B_V4 + "/32", "dev", a.link)
            assert_forwarding(self, a, b)

            # B's tun interface down: every delivery there fails.
            b.ns.run("ip", "link", "set", b.tun, "down")
            since = len(b.daemon.stderr().splitlines())
            a_before, b_before = a.daemon.statistics(), b.daemon.statistics()
            b_raw = raw_socket(b.ns, B_V4, b.daemon.pid)
            a_out = link_statistics(a.ns, a.link)["tx_packets"]

            def taken_by_b(sent):
                return (link_statistics(a.ns, a.link)["tx_packets"] - a_out >= sent
                        and raw_socket(b.ns, B_V4, b.daemon.pid)[0] == 0)
            paced(BURST, lambda: sock.sendto(b"burst", (B_V6, 9)), taken_by_b)
            a_after, b_after = a.daemon.statistics(), b.daemon.statistics()
            self.assertEqual(a_after["Opkts"] - a_before["Opkts"], BURST)
            self.assertEqual(raw_socket(b.ns, B_V4, b.daemon.pid)[1], b_raw[1], "raw socket drops")
            self.assertEqual(b_after["Ierrs"] - b_before["Ierrs"], BURST)
            self.assertEqual(b_after["Ipkts"], b_before["Ipkts"])
            lines = [l for l in new_lines(b.daemon, since) if "write: tun:" in l]
            print("%d failed deliveries, %d lines: %r" % (BURST, len(lines), lines[-3:]))
            self.assertLessEqual(len(lines), 30)
            self.assertEqual(failures_told(lines, "write: tun:"), BURST)

            b.ns.run("ip", "link", "set", b.tun, "up")
            b.address()
            assert_forwarding(self, a, b)

    def test_a_log_reader_that_never_reads_stops_nothing(self):
        with netlab.Lab() as lab:
            capture = SyslogCapture(lab)
            self.addCleanup(capture.close)
            a, b = two_sites(lab, a_via=capture.within)
            # Far more messages than a datagram socket queues for its reader.
            requests = 40
            for count in range(1, requests + 1):
                a.daemon.signal(signal.SIGUSR1)
                a.daemon.wait_stderr("Ipkts ", count=count)
            assert_forwarding(self, a, b)

            received = capture.messages("ferrin")
            self.assertEqual(received[0], "ferrin/1.6 started")
            self.assertLess(len(received), 1 + requests)
            lost = 1 + requests - len(received)
            # Read now, the socket takes messages again; the first says how
            # many were lost.
            a.daemon.signal(signal.SIGUSR1)
            capture.wait("ferrin", "%d log messages lost: the log socket was full or gone" % lost)
            self.assertEqual(a.daemon.stop(), 0)
            print("the log queued %d of %d messages; %d lost" % (len(received), 1 + requests, lost))

    def test_datagrams_above_the_ipv4_path_mtu_leave_in_fragments(self):
        self.datagrams_above_the_ipv4_path_mtu_leave_in_fragments(())

    def test_datagrams_in_batches_above_the_ipv4_path_mtu_leave_in_fragments(self):
        self.datagrams_above_the_ipv4_path_mtu_leave_in_fragments(BATCHES)

    def datagrams_above_the_ipv4_path_mtu_leave_in_fragments(self, options):
        with netlab.Lab() as lab:
            a, b = two_sites(lab, options, options)
            for site in (a, b):
                site.ns.run("ip", "link", "set", site.link, "mtu", "1280")
            receiver = b.udp_socket(self)
            sender = a.udp_socket(self)
            payload = bytes(i % 251 for i in range(1280 - 40 - 8))  # a 1280-byte IPv6 packet
            wire = packets.Capture(b.ns, b.link)
            self.addCleanup(wire.close)
            before = a.daemon.statistics()

            sender.sendto(payload, (B_V6, receiver.getsockname()[1]))
            data, _ = receiver.recvfrom(4096)
            self.assertEqual(data, payload)

            fragments = []

            def last_fragment(frame):
                packet = packets.proto41(frame)
                if packet is not None:
                    fragments.append(packet)
                return packet is not None and not struct.unpack("!H", packet[6:8])[0] & 0x2000
            wire.until(last_fragment, what="the last fragment")
            self.assertGreaterEqual(len(fragments), 2)
            length = 0
            for packet in fragments:
                flags_offset = struct.unpack("!H", packet[6:8])[0]
                self.assertEqual(flags_offset & 0x4000, 0, "don't fragment is clear")
                self.assertEqual((flags_offset & 0x1FFF) * 8, length)
                self.assertEqual((packet[8], packet[9]), (255, 41))
                self.assertEqual(packet[12:20], socket.inet_aton(A_V4) + socket.inet_aton(B_V4))
                length += struct.unpack("!H", packet[2:4])[0] - 20
            self.assertEqual(length, 1280)
            after = a.daemon.statistics()
            self.assertEqual((after["Opkts"] - before["Opkts"], after["Oerrs"] - before["Oerrs"]),
                             (1, 0))

    def test_a_start_that_returns_0_has_a_daemon_behind_it(self):
        """With ever fewer descriptors allowed, a detached start either
        returns 0 and a daemon runs, or returns 1 with the real cause and no
        daemon is left."""
        with netlab.Lab() as lab:
            ns = lab.namespace("fds")
            ns.run("ip", "addr", "add", A_V4 + "/32", "dev", "lo")
            # LeakSanitizer (in the sanitizer build) needs descriptors of its
            # own at the exit; the leak check is not what this is about.
            env = dict(os.environ)
            env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
            outcomes = []
            for limit in range(6, 13):
                binary, name = lab.program_copy("fd")
                argv = ["-u", "nobody", unique_name("tun"), PREFIX, RELAY, A_V4]
                result = ns.run("sh", "-c", 'ulimit -n %d && exec "$@"' % limit, "sh", binary,
                                *argv, check=False, env=env)
                pids = processes_of(binary)
                for pid in pids:
                    lab.adopt(pid, binary)
                outcomes.append((limit, result.returncode, result.stderr.strip()))
                if result.returncode == 0:
                    self.assertEqual(len(pids), 1, outcomes)
                    wait_for(lambda: os.path.exists(netlab.pid_file_path(name)))
                    os.kill(pids[0], signal.SIGTERM)
                    wait_for(lambda: not processes_of(binary), what="the daemon to stop")
                else:
                    self.assertEqual(result.returncode, 1, outcomes)
                    self.assertNotIn("user not found", result.stderr)
                    self.assertIn("Too many open files", result.stderr)
                    wait_for(lambda: not processes_of(binary), what="no daemon left")
            print("\n".join("ulimit -n %d: status %d %s" % o for o in outcomes))
            self.assertEqual(outcomes[-1][1], 0, "a start with enough descriptors")
            self.assertIn(1, [o[1] for o in outcomes])


if __name__ == "__main__":
    unittest.main()
