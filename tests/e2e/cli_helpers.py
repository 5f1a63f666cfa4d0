"""Helpers for the command-line and link tests: running the daemon while
watching the namespace's link events, reading interface flags the way the
daemon does, building and capturing raw frames, and reading hex dumps back
from standard error.

Every helper that looks inside a namespace runs a short Python program there
with `ip netns exec`; every wait is bounded.
"""

import json
import re
import socket
import struct
import subprocess
import sys

import netlab

IDENTITY = "ferrin/1.6"

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


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def ipv6_packet(source, destination, payload, next_header=59, hop_limit=64):
    """An IPv6 packet; next header 59 (no next header) by default, so that
    the payload is opaque bytes nobody answers."""
    header = struct.pack("!IHBB16s16s", 0x60000000, len(payload), next_header, hop_limit,
                         socket.inet_pton(socket.AF_INET6, source),
                         socket.inet_pton(socket.AF_INET6, destination))
    return header + payload


def ipv4_header(source, destination, payload_len, protocol=41, ttl=64):
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + payload_len, 0x1234, 0, ttl, protocol,
                         0, socket.inet_aton(source), socket.inet_aton(destination))
    return header[:10] + struct.pack("!H", checksum(header)) + header[12:]


_SEND_RAW = r"""
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_RAW, 41)
s.setsockopt(socket.IPPROTO_IP, socket.IP_HDRINCL, 1)
s.sendto(bytes.fromhex(sys.argv[1]), (sys.argv[2], 0))
"""


def send_ipv4_datagram(namespace, datagram, destination):
    """Sends a whole IPv4 datagram (header included) from namespace."""
    namespace.run(sys.executable, "-c", _SEND_RAW, datagram.hex(), destination)


_SEND_UDP = r"""
import socket, sys
family = socket.AF_INET6 if ":" in sys.argv[1] else socket.AF_INET
s = socket.socket(family, socket.SOCK_DGRAM)
s.sendto(sys.argv[3].encode(), (sys.argv[1], int(sys.argv[2])))
"""


def send_udp(namespace, address, port, text):
    """Sends one UDP datagram carrying text from namespace."""
    namespace.run(sys.executable, "-c", _SEND_UDP, address, str(port), text)


# Captures on one interface with an AF_PACKET socket (ETH_P_ALL). Prints
# "ready" once bound, then the first received (not outgoing) frame whose
# bytes contain the marker, as JSON, or {"timeout": true}.
_CAPTURE = r"""
import json, select, socket, sys, time
PACKET_OUTGOING = 4
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))
s.bind((sys.argv[1], 0))
marker = bytes.fromhex(sys.argv[2])
deadline = time.monotonic() + float(sys.argv[3])
print("ready", flush=True)
result = {"timeout": True}
while True:
    left = deadline - time.monotonic()
    if left <= 0 or not select.select([s], [], [], left)[0]:
        break
    data, address = s.recvfrom(65536)
    if address[2] == PACKET_OUTGOING or marker not in data:
        continue
    result = {"protocol": address[1], "packet_type": address[2], "data": data.hex()}
    break
print(json.dumps(result), flush=True)
"""


class Capture:
    """A capture on one interface of a namespace, started and ready. The test
    that makes one registers close() as a cleanup."""

    def __init__(self, namespace, interface, marker, timeout=10.0):
        self.timeout = timeout
        self.process = subprocess.Popen(
            namespace.command(sys.executable, "-c", _CAPTURE, interface, marker.hex(),
                              str(timeout)),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        ready = self.process.stdout.readline()
        if ready.strip() != "ready":
            self.close()
            raise AssertionError("capture on %s did not start: %r" % (interface, ready))

    def result(self):
        """(protocol, packet type, bytes) of the frame caught, or None on timeout."""
        out, err = self.process.communicate(timeout=self.timeout + 20)
        lines = out.strip().splitlines()
        if not lines:
            raise AssertionError("capture ended without a result: %r" % err)
        record = json.loads(lines[-1])
        if "data" not in record:
            return None
        return record["protocol"], record["packet_type"], bytes.fromhex(record["data"])

    def close(self):
        """Ends the capture process started here, by its own handle."""
        if self.process.poll() is None:
            self.process.kill()
        try:
            self.process.communicate(timeout=10)
        except (subprocess.TimeoutExpired, ValueError):
            pass


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
