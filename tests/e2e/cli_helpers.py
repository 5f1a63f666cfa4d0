# SPDX-License-Identifier: BSD-2-Clause
"""Helpers for the command-line and link tests: a namespace whose veth
leads to the relay, where a copy of the binary runs; running the daemon while
watching the namespace's link events; reading interface flags the way the
daemon does; the resolver's own error texts; and reading hex dumps back from
standard error. Packets are built, sent and captured with packets.py.

The helpers that look inside a namespace run a short Python program there
with `ip netns exec`; every wait is bounded.
"""

import json
import re
import socket
import subprocess
import sys

import netlab

IDENTITY = "ferrin/1.6"
MY_V4 = "192.0.2.1"
RELAY = "192.0.2.2"

IFF_UP = 0x1
IFF_POINTOPOINT = 0x10
IFF_RUNNING = 0x40
IFF_NOARP = 0x80
IFF_ALLMULTI = 0x200
IFF_MULTICAST = 0x1000

# Runs the command given as JSON as a child while a NETLINK_ROUTE socket subscribed to link
# changes listens; the subscription exists before the child starts, and the
# kernel queues every change before the child can exit, so reading the queue
# afterwards sees all of them. Prints one JSON record.
_WATCH_LINKS = r"""
import json, socket, struct, subprocess, sys
RTMGRP_LINK = 1
s = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, socket.NETLINK_ROUTE)
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
s.bind((0, RTMGRP_LINK))
argv = json.loads(sys.argv[1])
timeout = float(sys.argv[2])
try:
    p = subprocess.run(argv, capture_output=True, timeout=timeout, stdin=subprocess.DEVNULL)
    status, out, err = p.returncode, p.stdout, p.stderr
except subprocess.TimeoutExpired as e:
    status, out, err = "timeout", e.stdout or b"", e.stderr or b""
s.setblocking(False)
events = []
while True:
    try:
        data = s.recv(1 << 16)
    except BlockingIOError:
        break
    at = 0
    while at + 16 <= len(data):
        length, kind = struct.unpack_from("=IH", data, at)
        if length < 16:
            break
        if kind in (16, 17):  # RTM_NEWLINK, RTM_DELLINK
            family, _, itype, index, flags, change = struct.unpack_from("=BBHiII", data, at + 16)
            record = {"event": "new" if kind == 16 else "del", "index": index, "flags": flags}
            a = at + 32
            while a + 4 <= at + length:
                alen, atype = struct.unpack_from("=HH", data, a)
                if alen < 4:
                    break
                value = data[a + 4:a + alen]
                if atype == 3:  # IFLA_IFNAME
                    record["name"] = value.split(b"\0", 1)[0].decode()
                elif atype == 4:  # IFLA_MTU
                    record["mtu"] = struct.unpack("=I", value[:4])[0]
                a += (alen + 3) & ~3
            events.append(record)
        at += (length + 3) & ~3
print(json.dumps({"status": status, "stdout": out.decode("utf-8", "replace"),
                  "stderr": err.decode("utf-8", "replace"), "events": events}))
"""


class WatchedRun:
    """Result of run_watching_links: exit status, both outputs and link events."""

    def __init__(self, record):
        self.status = record["status"]
        self.stdout = record["stdout"]
        self.stderr = record["stderr"]
        self.events = record["events"]

    def events_for(self, name):
        return [e for e in self.events if e.get("name") == name]


def run_watching_links(namespace, argv, timeout=10.0):
    """Runs argv (program path first) inside namespace and records every link
    created, changed or deleted there while it ran."""
    result = namespace.run(sys.executable, "-c", _WATCH_LINKS, json.dumps(list(argv)),
                           str(timeout), timeout=timeout + 20)
    return WatchedRun(json.loads(result.stdout))


class RelayNamespace:
    """Mixin of a test case class: a namespace with quiet IPv6 whose veth
    carries the own address 192.0.2.1/24, the relay 192.0.2.2 in another
    namespace at the other end, and a copy of the binary under a program
    name of its own (path, name). tags: the three tags of the namespace, the
    relay's namespace and the copy."""

    tags = ("ns", "rly", "cp")

    @classmethod
    def setUpClass(cls):
        site_tag, peer_tag, copy_tag = cls.tags
        cls.lab = netlab.Lab()
        cls.addClassCleanup(cls.lab.close)
        cls.site = cls.lab.namespace(site_tag)
        cls.site.quiet_ipv6()
        cls.peer = cls.lab.namespace(peer_tag)
        cls.lab.veth(cls.site, MY_V4, cls.peer, RELAY)
        cls.path, cls.name = cls.lab.program_copy(copy_tag)

    def start(self, options, tun, prefix="2001:db8::/32", my_v4=MY_V4):
        """The copy in the foreground (-F), once it has logged its start."""
        daemon = self.lab.daemon(["-F"] + options + [tun, prefix, RELAY, my_v4],
                                 namespace=self.site, binary=self.path)
        daemon.wait_stderr("%s started" % IDENTITY)
        return daemon

    def assert_failed(self, run, message):
        """run ended with status 1, nothing on standard output and message
        alone on standard error."""
        self.assertEqual(run.status, 1, run.stderr)
        self.assertEqual(run.stdout, "")
        self.assertEqual(run.stderr, "%s: %s\n" % (self.name, message))


def run_program(argv, executable=None, cwd=None, timeout=10.0):
    """Runs a command line outside any namespace; argv[0] is what the program
    sees as its first word, executable the file run (default argv[0])."""
    return subprocess.run(list(argv), executable=executable, cwd=cwd, capture_output=True,
                          text=True, timeout=timeout, stdin=subprocess.DEVNULL)


_IFACE_STATE = r"""
import fcntl, json, socket, struct, sys
name = sys.argv[1].encode()
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
flags = struct.unpack_from("=H", fcntl.ioctl(s, 0x8913, struct.pack("=16s16x", name)), 16)[0]
mtu = struct.unpack_from("=i", fcntl.ioctl(s, 0x8921, struct.pack("=16s16x", name)), 16)[0]
try:
    with open("/sys/class/net/%s/tun_flags" % sys.argv[1]) as f:
        tun_flags = int(f.read(), 16)
except OSError:
    tun_flags = None
print(json.dumps({"flags": flags, "mtu": mtu, "tun_flags": tun_flags}))
"""


def interface_state(namespace, name):
    """(flags, mtu, tun_flags) of an interface as SIOCGIFFLAGS and SIOCGIFMTU
    report them inside namespace; tun_flags from sysfs, None if absent."""
    out = namespace.run(sys.executable, "-c", _IFACE_STATE, name).stdout
    record = json.loads(out)
    return record["flags"], record["mtu"], record["tun_flags"]


def resolver_error(text, flags):
    """The resolver's own error text for a numeric IPv4 lookup of text with
    the given flags, as gai_strerror words it; None if the lookup succeeds."""
    try:
        socket.getaddrinfo(text, None, socket.AF_INET, socket.SOCK_RAW, 0, flags)
    except socket.gaierror as error:
        return error.strerror
    return None


_DUMP_LINE = re.compile(r"^0x[0-9a-f]+ ((?: [0-9a-f]{2}| {3}){16})  (.*)$")


def dump_blocks(text, header):
    """The byte strings of every dump block on standard error that starts
    with the header line (e.g. "tun2raw:")."""
    blocks = []
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        if lines[i] != header:
            i += 1
            continue
        i += 1
        data = bytearray()
        while i < len(lines):
            match = _DUMP_LINE.match(lines[i])
            if not match:
                break
            cells = match.group(1)
            data += bytes(int(cells[k + 1:k + 3], 16)
                          for k in range(0, 48, 3) if cells[k + 1:k + 3].strip())
            i += 1
        blocks.append(bytes(data))
    return blocks


def fixed_name(tag, length):
    """A name of exactly length characters, unique to this test process,
    starting with a letter."""
    base = netlab.unique_name(tag)
    if len(base) > length:
        raise ValueError("%s is longer than %d characters" % (base, length))
    return base + "x" * (length - len(base))
