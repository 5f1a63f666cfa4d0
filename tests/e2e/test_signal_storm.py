# SPDX-License-Identifier: BSD-2-Clause
"""Storms of signals against a daemon that is forwarding traffic.

Site A's daemon runs with -F -d, so that its log and its trace lines share
standard error, while pings go both ways between A and B at a high rate.
It then takes:
- bursts of thousands of SIGUSR1 and SIGHUP, sent from two processes at
  once, interleaved with signals it does not relay (SIGWINCH, SIGCHLD,
  SIGURG and SIGCONT, ignored by default, and SIGPIPE, which it ignores);
- a burst while it is stopped (SIGSTOP): the kernel keeps one pending
  instance of each signal, so thousands of SIGUSR1 and SIGHUP must yield
  exactly one report after SIGCONT.

A record of a number the loop does not know cannot be produced from outside:
only the four relayed signals (SIGHUP, SIGINT, SIGTERM, SIGUSR1) have a
handler that writes a record, and it writes its own signal's number. What
can be checked is that nothing else ever gets into the pipe: the signals
without a handler must leave no "unexpected signal" line behind.

Afterwards the daemon still runs and forwards; every line on its standard
error is whole and has one of the daemon's own formats (no truncated,
joined or unknown line, in particular no "unexpected signal" and no
interrupted system call counted as an error); the reports' counters never go
down and the error counters stay 0; SIGTERM ends it with status 0 and
"ferrin/1.6 exiting" as its last line.
"""

import fcntl
import os
import re
import signal
import struct
import sys
import termios
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import netlab  # noqa: E402
from robustness_lab import (A_V6, B_V6, assert_forwarding, finish, start_process,  # noqa: E402
                            two_sites)

BURST = int(os.environ.get("FERRIN_STORM_SIGNALS", "20000"))  # of each signal, per sender
IGNORED = (signal.SIGWINCH, signal.SIGCHLD, signal.SIGURG, signal.SIGCONT, signal.SIGPIPE)
# While the daemon is stopped: SIGCONT would wake it.
IGNORED_WHILE_STOPPED = tuple(s for s in IGNORED if s != signal.SIGCONT)

PROGRAM = re.escape(os.path.basename(netlab.BINARY))
V6 = r"[0-9a-f:.]+"
V4 = r"\d+\.\d+\.\d+\.\d+"
REPORT = re.compile(r"%s: Ipkts (\d+), Ierrs (\d+), Irjct (\d+), Ibytes (\d+), Opkts (\d+), "
                    r"Oerrs (\d+), Orjct (\d+), Obytes (\d+)" % PROGRAM)
LINES = [
    re.compile(r"%s: ferrin/1\.6 (started|exiting)" % PROGRAM),
    REPORT,
    re.compile(r"out (%s) (%s) n=\d+ s=\d+" % (V6, V6)),
    re.compile(r"in  (%s) (%s) (%s) n=\d+ s=\d+" % (V6, V6, V4)),
    re.compile(r"tun2raw: (source is not me|reject IPv4 destination|reject IPv6 destination) "
               r"\((%s) (%s)\)" % (V6, V6)),
    re.compile(r"raw2tun: (native address from non-relaying router|reject IPv6 source|"
               r"embedded address differs from IPv4 source|reject IPv4 source|"
               r"destination is not me) \((%s) (%s) (%s)\)" % (V6, V6, V4)),
]

# A burst from a separate process: SIGUSR1 and SIGHUP alternately, and every
# tenth round one signal the daemon does not relay.
STORM = """
import os, signal, sys
pid, count = int(sys.argv[1]), int(sys.argv[2])
ignored = [int(s) for s in sys.argv[3].split(",")]
for i in range(count):
    os.kill(pid, signal.SIGUSR1)
    os.kill(pid, signal.SIGHUP)
    if i % 10 == 0:
        os.kill(pid, ignored[i // 10 % len(ignored)])
"""


def signal_pipe(pid):
    """The descriptor of the daemon's signal pipe, read end (its only pipe)."""
    for fd in os.listdir("/proc/%d/fd" % pid):
        if os.readlink("/proc/%d/fd/%s" % (pid, fd)).startswith("pipe:"):
            with open("/proc/%d/fdinfo/%s" % (pid, fd)) as f:
                flags = int(f.read().split("flags:", 1)[1].split()[0], 8)
            if flags & os.O_ACCMODE == os.O_RDONLY:
                return int(fd)
    raise AssertionError("no signal pipe in process %d" % pid)


def unread_bytes(pid, fd):
    """Bytes waiting in the process's pipe, through a second opening of it."""
    pipe = os.open("/proc/%d/fd/%d" % (pid, fd), os.O_RDONLY | os.O_NONBLOCK)
    try:
        return struct.unpack("i", fcntl.ioctl(pipe, termios.FIONREAD, b"\0" * 4))[0]
    finally:
        os.close(pipe)


def waiting(pid):
    """True while the process sleeps in select (or pselect6)."""
    with open("/proc/%d/syscall" % pid) as f:
        return f.read().split()[0] in ("23", "270")


class SignalStorm(unittest.TestCase):

    options = ()  # for both daemons

    def reports(self, daemon):
        return [tuple(int(v) for v in m.groups())
                for m in REPORT.finditer(daemon.stderr())]

    def quiet_reports(self, daemon):
        """The number of reports once every record in the signal pipe has
        been handled: the pipe is empty and the loop waits in select, with
        the same count of reports, twice in a row. A signal still pending
        would have woken the wait."""
        fd = signal_pipe(daemon.pid)
        previous = [None]

        def settled():
            state = (unread_bytes(daemon.pid, fd), waiting(daemon.pid), len(self.reports(daemon)))
            done = state == previous[0] and state[:2] == (0, True)
            previous[0] = state
            return done
        netlab.wait_for(settled, 30, interval=0.05, what="the signal pipe to drain")
        return previous[0][2]

    def test_storm(self):
        with netlab.Lab() as lab:
            a, b = two_sites(lab, ["-d"] + list(self.options), self.options)
            daemon = a.daemon
            result = a.ping(B_V6)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

            pings = [start_process(self, site.ns, ["ping", "-6", "-n", "-q", "-i", "0.005",
                                                   "-w", "60", "-I", site.v6, peer])
                     for site, peer in ((a, B_V6), (b, A_V6))]
            reported = self.quiet_reports(daemon)

            # Two bursts at once, from two processes.
            ignored = ",".join(str(int(s)) for s in IGNORED)
            storms = [start_process(self, a.ns, [sys.executable, "-c", STORM, str(daemon.pid),
                                                 str(BURST), ignored]) for _ in range(2)]
            for storm in storms:
                status, _, err = finish(storm, 120)
                self.assertEqual(status, 0, err)
            self.assertTrue(daemon.running(), daemon.stderr()[-2000:])
            after_storm = self.quiet_reports(daemon)
            storm_reports = after_storm - reported

            # Stopped: thousands of signals coalesce into one of each.
            daemon.signal(signal.SIGSTOP)
            netlab.wait_for(lambda: netlab.proc_stat(daemon.pid)[0] == "T", what="the daemon to stop")
            for _ in range(BURST):
                daemon.signal(signal.SIGUSR1)
                daemon.signal(signal.SIGHUP)
            for s in IGNORED_WHILE_STOPPED:
                daemon.signal(s)
            daemon.signal(signal.SIGCONT)
            self.assertEqual(self.quiet_reports(daemon), after_storm + 1)

            self.assertTrue(daemon.running(), daemon.stderr()[-2000:])
            assert_forwarding(self, a, b)
            for ping in pings:
                ping.send_signal(signal.SIGINT)
                finish(ping, 30)
            self.assertEqual(daemon.stop(), 0)

            text = daemon.stderr()
            self.assertTrue(text.endswith("\n"), text[-200:])
            lines = text[:-1].split("\n")
            strangers = [line for line in lines if not any(p.fullmatch(line) for p in LINES)]
            reports = self.reports(daemon)
            traced = sum(1 for line in lines if line.startswith(("in  ", "out ")))
            print("\nsignal storm: %d SIGUSR1 and %d SIGHUP from two senders (%d ignored"
                  " signals among them), %d reports made during the storm; %d more of each"
                  " while stopped gave 1 report; %d lines on standard error, %d packets"
                  " traced, last report %s"
                  % (2 * BURST, 2 * BURST, 2 * (BURST // 10 + 1), storm_reports, BURST,
                     len(lines), traced, reports[-1]), file=sys.stderr)

            self.assertEqual(strangers[:5], [])
            self.assertEqual(lines[-1], "%s: ferrin/1.6 exiting" % os.path.basename(netlab.BINARY))
            self.assertGreaterEqual(storm_reports, 1)
            self.assertLessEqual(storm_reports, 2 * BURST)
            for earlier, later in zip(reports, reports[1:]):
                self.assertTrue(all(x <= y for x, y in zip(earlier, later)), (earlier, later))
            ipkts, ierrs, _, _, opkts, oerrs, _, _ = reports[-1]
            self.assertEqual((ierrs, oerrs), (0, 0))
            self.assertGreater(ipkts, 0)
            self.assertGreater(opkts, 0)


class SignalStormInBatches(SignalStorm):
    """The same with -b 32: a stop and every report are seen after at most
    one batch per direction."""

    options = ("-b", "32")


if __name__ == "__main__":
    unittest.main()
