# SPDX-License-Identifier: BSD-2-Clause
"""The command line of the real binary: options, the count of positional
arguments, the program name, the prefix argument, the relay address, -r and
the delegated prefix length, and a foreground run stopped by a signal.

Every run uses a copy of the binary under a program name of its own, so no
message, PID file or interface collides with another test or a running daemon.
Runs that get past the relay address happen in network namespaces made here.
"""

import errno
import os
import signal
import socket
import subprocess
import unittest

import netlab
import packets
from cli_helpers import (IDENTITY, IFF_UP, MY_V4, RELAY, RelayNamespace, interface_state,
                         resolver_error, run_program, run_watching_links)
from sites import address_tun


class OptionsAndArgumentCount(unittest.TestCase):
    """Everything decided before the log is opened: standard output only,
    nothing on standard error except getopt's own complaint, status 1."""

    @classmethod
    def setUpClass(cls):
        cls.lab = netlab.Lab()
        cls.addClassCleanup(cls.lab.close)
        cls.path, cls.name = cls.lab.program_copy("cl")

    def test_usage_and_identity(self):
        usage = netlab.USAGE % self.name
        identity = IDENTITY + "\n"
        four = ["tun0", "2001:db8::/32", RELAY, MY_V4]
        # (arguments, standard output, whether getopt complains on standard error)
        cases = [
            ([], usage, False),
            (["-h"], usage, False),
            (["-h"] + four, usage, False),
            (["-d", "-F", "-h"], usage, False),
            (["-hV"], usage, False),
            (["-V"], identity, False),
            (["-V"] + four, identity, False),
            (["-V", "-x"], identity, False),
            (["-V", "-h"], identity, False),
            (["-V", "-r"], identity, False),
            (["-V", "only-one"], identity, False),
            (["-dFV"], identity, False),
            (["-Vh"], identity, False),
            (["-r", "8", "-V", "-u"], identity, False),
            (["-x"], usage, True),
            (["-x", "-V"], usage, True),
            (["-dx"] + four, usage, True),
            (["-r"], usage, True),
            (["-u"], usage, True),
            (["-F", "-d", "-r"], usage, True),
            (["-d", "-u"], usage, True),
            (four[:3], usage, False),
            (four + ["extra"], usage, False),
            (["-d", "-F", "-r", "8", "-u", "nobody"], usage, False),
            # After the first positional argument nothing is an option.
            (four[:1] + ["-d"] + four[1:], usage, False),
            (four[:1] + ["-V"] + four[1:], usage, False),
            (four[:1] + ["-h"] + four[1:], usage, False),
        ]
        for args, expected, complains in cases:
            with self.subTest(args=args):
                result = run_program([self.path] + args)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout, expected)
                if complains:
                    # getopt's wording is glibc's own; there must be one line of it,
                    # and the usage line stays on standard output.
                    self.assertNotEqual(result.stderr, "")
                    self.assertTrue(result.stderr.endswith("\n"), result.stderr)
                    self.assertEqual(result.stderr.count("\n"), 1, result.stderr)
                    self.assertNotIn("usage", result.stderr)
                else:
                    self.assertEqual(result.stderr, "")

    def test_option_after_first_positional_is_an_argument(self):
        # With four words in all, the option-looking word is taken as the prefix
        # argument and reaches the prefix parse.
        for word in ("-V", "-h", "-d"):
            with self.subTest(word=word):
                result = run_program([self.path, "tun0", word, RELAY, MY_V4])
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout, "")
                self.assertEqual(result.stderr, "%s: %s: prefixlen is not specified\n"
                                 % (self.name, word))

    def test_program_name_is_last_path_component(self):
        directory, file_name = os.path.split(self.path)
        nested = os.path.join(directory, "sub", "dir")
        os.makedirs(nested)
        nested_path = os.path.join(nested, "ferrin-nested")
        os.symlink(self.path, nested_path)
        # (first word seen by the program, file run, working directory, name expected)
        cases = [
            (self.path, self.path, None, file_name),
            ("./" + file_name, self.path, directory, file_name),
            ("sub/dir/ferrin-nested", nested_path, directory, "ferrin-nested"),
            (nested_path, nested_path, None, "ferrin-nested"),
            ("/no/such/dir/other-name", self.path, None, "other-name"),
            ("bare-word", self.path, None, "bare-word"),
        ]
        for argv0, executable, cwd, expected in cases:
            with self.subTest(argv0=argv0):
                result = run_program([argv0, "-h"], executable=executable, cwd=cwd)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout, netlab.USAGE % expected)
                self.assertEqual(result.stderr, "")
                # The same name is the log's ident on standard error.
                result = run_program([argv0, "tun0", "2001:db8::", RELAY, MY_V4],
                                     executable=executable, cwd=cwd)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout, "")
                self.assertEqual(result.stderr,
                                 "%s: 2001:db8::: prefixlen is not specified\n" % expected)


class PrefixArgument(unittest.TestCase):
    """The prefix argument is parsed before the relay address is resolved, so a
    relay given as a name stops every argument that passes the parse with the
    resolver's message, before any device is opened."""

    @classmethod
    def setUpClass(cls):
        cls.lab = netlab.Lab()
        cls.addClassCleanup(cls.lab.close)
        cls.path, cls.name = cls.lab.program_copy("px")
        cls.relay = "relay.example"
        cls.passed = "getaddrinfo: %s: %s" % (cls.relay,
                                               resolver_error(cls.relay, socket.AI_NUMERICHOST))

    def test_prefix_argument(self):
        address_39 = "2001:0db8:0000:0000:0000:0000:0000:0000"
        self.assertEqual(len(address_39), 39)
        text_49_bad = address_39 + "/000000015"
        text_49_good = address_39 + "/000000032"
        text_50 = address_39 + "/0000000032"
        self.assertEqual((len(text_49_bad), len(text_49_good), len(text_50)), (49, 49, 50))
        # (prefix argument, message, or None when the parse passes)
        cases = [
            (text_49_bad, "000000015: prefixlen out of range"),
            (text_49_good, None),
            (text_50, text_50 + ": prefix string too long"),
            (text_50 + "0" * 30, text_50 + "0" * 30 + ": prefix string too long"),
            ("2001:db8::", "2001:db8::: prefixlen is not specified"),
            ("2001:db8::/", ": prefixlen not a number"),
            ("2001:db8::/15", "15: prefixlen out of range"),
            ("2001:db8::/64", "64: prefixlen out of range"),
            ("2001:db8::/16", None),
            ("2001:db8::/63", None),
            ("2001:db8::/+32", None),
            ("2001:db8::/ 32", None),
            ("2001:db8::/32 ", "32 : prefixlen not a number"),
            ("2001:db8::/32/8", "32/8: prefixlen not a number"),
            ("2001:db8::/32/", "32/: prefixlen not a number"),
            ("2001:db8::/0x20", "0x20: prefixlen not a number"),
            ("2001:db8::/abc", "abc: prefixlen not a number"),
            ("2001:db8::/-32", "-32: prefixlen out of range"),
            ("2001:db8::/4294967328", "4294967328: prefixlen out of range"),
            ("2001:db8::/99999999999999999999", "99999999999999999999: prefixlen out of range"),
            ("192.0.2.0/24", "192.0.2.0: failed to parse"),
            ("/32", ": failed to parse"),
            ("2001:db8::1/32", None),  # bits after the length need not be zero
        ]
        for argument, message in cases:
            with self.subTest(argument=argument):
                result = run_program([self.path, "-F", "tun0", argument, self.relay, MY_V4])
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout, "")
                self.assertEqual(result.stderr,
                                 "%s: %s\n" % (self.name, message if message else self.passed))


class StartUpInNamespace(RelayNamespace, unittest.TestCase):
    """Runs that reach the tunnel device: a namespace whose veth carries the own
    address 192.0.2.1/24, the relay 192.0.2.2 on the other end."""

    tags = ("cls", "clp", "ns")

    def tun_name(self):
        return netlab.unique_name("t")

    def watched(self, options, tun, prefix, relay=RELAY, my_v4=MY_V4):
        """A run expected to fail at start-up, with the namespace's link events.
        -F keeps a run that wrongly passed in the foreground, where the watcher
        ends it."""
        return run_watching_links(self.site, [self.path, "-F"] + options
                                  + [tun, prefix, relay, my_v4])

    def assert_configured_then_gone(self, run, tun):
        """The interface was made with MTU 1280 and up, and went with the process."""
        events = run.events_for(tun)
        self.assertTrue(any(e["event"] == "new" and e.get("mtu") == 1280 and e["flags"] & IFF_UP
                            for e in events), events)
        self.assertEqual(events[-1]["event"], "del", events)

    def stop(self, daemon):
        self.assertEqual(daemon.stop(), 0)
        self.assertEqual(daemon.stderr(), "%s: %s started\n%s: %s exiting\n"
                         % (self.name, IDENTITY, self.name, IDENTITY))
        self.assertEqual(daemon.stdout(), "")

    def test_relay_must_be_numeric_ipv4(self):
        for relay in ("relay.example", "localhost", "2001:db8::2", "2001:db8::c000:202"):
            with self.subTest(relay=relay):
                run = self.watched([], self.tun_name(), "2001:db8::/32", relay=relay)
                self.assert_failed(run, "getaddrinfo: %s: %s"
                                   % (relay, resolver_error(relay, socket.AI_NUMERICHOST)))
                # No device was opened: no interface came or went in the namespace.
                self.assertEqual(run.events, [])

    def test_common_len_checked_after_interface_and_socket(self):
        tun = self.tun_name()
        run = self.watched(["-r", "32"], tun, "2001:db8::/32")
        self.assert_failed(run, "32: common prefix length of IPv4 out of range")
        self.assert_configured_then_gone(run, tun)
        # The raw socket is bound before -r is read: an unassigned own address
        # stops the start with the bind failure instead.
        run = self.watched(["-r", "32"], self.tun_name(), "2001:db8::/32", my_v4="192.0.2.9")
        self.assert_failed(run, "bind: 192.0.2.9: %s" % os.strerror(errno.EADDRNOTAVAIL))

    def test_descriptor_beyond_select_limit_is_refused_at_start(self):
        # Started with descriptors 0 to 1023 all taken, the daemon's first own
        # descriptor (the tunnel device) is 1024, which no select() set holds.
        def occupy_low_descriptors():
            import resource
            resource.setrlimit(resource.RLIMIT_NOFILE, (4096, 4096))
            null = os.open("/dev/null", os.O_RDWR)
            for fd in range(3, 1024):
                if fd != null:
                    os.dup2(null, fd, inheritable=True)

        result = netlab.run(self.site.command(self.path, "-F", self.tun_name(), "2001:db8::/32",
                                              RELAY, MY_V4),
                            check=False, preexec_fn=occupy_low_descriptors, close_fds=False,
                            stdin=subprocess.DEVNULL)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(result.stdout, "")
        self.assertEqual(result.stderr, "%s: descriptor 1024 is outside the range select can "
                         "wait on (0 to 1023)\n" % self.name)

    def test_common_len_text(self):
        label = "common prefix length of IPv4"
        cases = [
            ("", ": %s not a number" % label),
            ("8x", "8x: %s not a number" % label),
            ("8 ", "8 : %s not a number" % label),
            ("-1", "-1: %s out of range" % label),
            ("4294967304", "4294967304: %s out of range" % label),
        ]
        for text, message in cases:
            with self.subTest(text=text):
                tun = self.tun_name()
                run = self.watched(["-r", text], tun, "2001:db8::/32")
                self.assert_failed(run, message)
                self.assert_configured_then_gone(run, tun)

    def test_delegated_prefix_length(self):
        # (prefix length, -r values in order, start passes)
        cases = [
            (33, [], False),
            (32, [], True),
            (40, ["8"], True),
            (41, ["8"], False),
            (63, ["31"], True),
            (63, ["30"], False),
            (48, ["8"], False),
            (48, ["8", "16"], True),   # the last -r counts
            (48, ["16", "8"], False),
        ]
        for prefix_len, common, passes in cases:
            with self.subTest(prefix_len=prefix_len, common=common):
                options = [w for value in common for w in ("-r", value)]
                prefix = "2001:db8::/%d" % prefix_len
                tun = self.tun_name()
                if passes:
                    daemon = self.start(options, tun, prefix)
                    flags, mtu, _ = interface_state(self.site, tun)
                    self.assertEqual(mtu, 1280)
                    self.assertTrue(flags & IFF_UP)
                    self.stop(daemon)
                else:
                    run = self.watched(options, tun, prefix)
                    self.assert_failed(run, "delegated prefix length is longer than 64")
                    self.assert_configured_then_gone(run, tun)

    def test_foreground_run_stops_on_signal(self):
        pid_file = netlab.pid_file_path(self.name)
        for signum in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=signum):
                daemon = self.start([], self.tun_name(), "2001:db8::/32")
                self.assertEqual(daemon.stderr(), "%s: %s started\n" % (self.name, IDENTITY))
                # Not detached: the process started here is the one that runs.
                self.assertTrue(daemon.running())
                self.assertTrue(netlab.process_runs(daemon.pid, self.path))
                self.assertFalse(os.path.lexists(pid_file))
                daemon.signal(signum)
                self.assertEqual(daemon.wait(), 0)
                self.assertEqual(daemon.stderr(), "%s: %s started\n%s: %s exiting\n"
                                 % (self.name, IDENTITY, self.name, IDENTITY))
                self.assertEqual(daemon.stdout(), "")
                self.assertFalse(os.path.lexists(pid_file))

    def test_signed_and_blank_prefix_length_is_32(self):
        # A prefix length of exactly 32 puts this site at 2001:db8:c000:201::/64;
        # a packet from there to the site of 192.0.2.2 is sent only when both the
        # source and the destination are read with that length.
        text = "ferrin"
        for length_text in ("+32", " 32"):
            with self.subTest(length_text=length_text):
                tun = self.tun_name()
                daemon = self.start(["-d"], tun, "2001:db8::/" + length_text)
                address_tun(self.site, tun, ["2001:db8:c000:201::1/64"])
                packets.send_udp(self.site, "2001:db8:c000:202::1", 9, text.encode())
                daemon.wait_stderr("out 2001:db8:c000:201::1 2001:db8:c000:202::1 n=17 s=%d\n"
                                   % (40 + 8 + len(text)))
                self.assertEqual(daemon.stop(), 0)
        for length_text in ("+33", " 33"):
            with self.subTest(length_text=length_text):
                run = self.watched([], self.tun_name(), "2001:db8::/" + length_text)
                self.assert_failed(run, "delegated prefix length is longer than 64")


if __name__ == "__main__":
    unittest.main()
