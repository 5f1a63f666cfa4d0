# SPDX-License-Identifier: BSD-2-Clause
"""Packets for end-to-end tests: building, parsing, sending and capturing.

Builders return bytes in network byte order: an IPv4 header (options and
odd header lengths included), an IPv6 header, UDP with its checksum, and
ICMPv6 echo requests. Parsers turn bytes back into plain records.

Sockets live in the network namespace they are made in. `socket_in` makes
one inside a namespace of a netlab.Lab (or any named namespace under
/var/run/netns) by entering it for the moment of creation only; the calling
thread returns to its own namespace at once, and the socket keeps working
from there. The senders are such sockets. `Capture` is an AF_PACKET socket
bound to one interface that collects frames with bounded waits;
`TunCapture` collects on a thread every packet the daemon writes into its
tun interface, for floods.

Stdlib and netlab only.
"""

import collections
import contextlib
import ctypes
import os
import select
import socket
import struct
import threading
import time

import netlab

CLONE_NEWNET = 0x40000000
ETH_P_ALL = 0x0003
ETH_P_IP = 0x0800
ETH_P_IPV6 = 0x86DD
PACKET_OUTGOING = 4  # sll_pkttype of a frame the host itself sent
SOL_PACKET = 263
PACKET_STATISTICS = 6
PACKET_IGNORE_OUTGOING = 23
SO_RCVBUFFORCE = 33
SOL_IPV6 = 41
IPV6_TCLASS = 67
PROTO_IPV6_IN_IPV4 = 41
PROTO_UDP = 17
PROTO_ICMPV6 = 58
PROTO_NONE = 59

_libc = ctypes.CDLL(None, use_errno=True)


# ---------------------------------------------------------------- namespaces

def _setns(fd):
    if _libc.setns(fd, CLONE_NEWNET) != 0:
        err = ctypes.get_errno()
        raise OSError(err, "setns: %s" % os.strerror(err))


@contextlib.contextmanager
def entered(namespace):
    """Runs the body of the with-statement in a network namespace, given by
    name or by an object with a `name` (a netlab.Namespace). Only the calling
    thread moves, and it always moves back."""
    name = getattr(namespace, "name", namespace)
    home = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    try:
        target = os.open("/var/run/netns/%s" % name, os.O_RDONLY)
        try:
            _setns(target)
        finally:
            os.close(target)
        try:
            yield
        finally:
            _setns(home)
    finally:
        os.close(home)


def socket_in(namespace, family, kind, proto=0):
    """A socket that belongs to the given network namespace."""
    with entered(namespace):
        return socket.socket(family, kind, proto)


def if_index(namespace, ifname):
    """The index of an interface inside a namespace."""
    with entered(namespace):
        return socket.if_nametoindex(ifname)


# ---------------------------------------------------------------- building

def checksum(data):
    """The Internet checksum (ones' complement of the ones' complement sum)."""
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def v4(text):
    return socket.inet_pton(socket.AF_INET, text)


def v6(text):
    return socket.inet_pton(socket.AF_INET6, text)


def nop_options(length):
    """IPv4 options of the given length (a multiple of 4): NOPs only."""
    assert length % 4 == 0 and 0 <= length <= 40
    return b"\x01" * length


def ipv4_header(src, dst, payload_len, proto=PROTO_IPV6_IN_IPV4, tos=0, ident=0x1234, ttl=64,
                options=b"", first_byte=None):
    """An IPv4 header with a valid checksum. `first_byte` overrides version and
    header length (e.g. 0x4F with 40 bytes of options, or a deliberately
    wrong value); by default it is 0x45 plus the options' words."""
    header_len = 20 + len(options)
    if first_byte is None:
        first_byte = 0x40 | (header_len // 4)
    header = struct.pack("!BBHHHBBH4s4s", first_byte, tos, header_len + payload_len, ident, 0,
                         ttl, proto, 0, v4(src), v4(dst)) + options
    return header[:10] + struct.pack("!H", checksum(header)) + header[12:]


def ipv6_header(src, dst, payload_len, next_header, tclass=0, flow=0, hop_limit=64):
    word = (6 << 28) | (tclass << 20) | flow
    return struct.pack("!IHBB16s16s", word, payload_len, next_header, hop_limit, v6(src), v6(dst))


def udp_datagram(src, dst, sport, dport, payload):
    """UDP header and payload, checksummed over the IPv6 pseudo-header."""
    length = 8 + len(payload)
    pseudo = v6(src) + v6(dst) + struct.pack("!IxxxB", length, PROTO_UDP)
    body = struct.pack("!HHHH", sport, dport, length, 0) + payload
    value = checksum(pseudo + body) or 0xFFFF
    return body[:6] + struct.pack("!H", value) + body[8:]


def completed(packet):
    """packet with its UDP checksum written whole, as a host sends it that
    leaves none to its device (the tun interface with offloads gets the
    pseudo-header sum alone)."""
    if packet[6] != PROTO_UDP:
        return packet
    body = packet[40:46] + b"\0\0" + packet[48:]
    pseudo = packet[8:40] + struct.pack("!IxxxB", len(body), PROTO_UDP)
    return packet[:46] + struct.pack("!H", checksum(pseudo + body) or 0xFFFF) + packet[48:]


def icmpv6_echo(src, dst, ident, seq, data):
    pseudo = v6(src) + v6(dst) + struct.pack("!IxxxB", 8 + len(data), PROTO_ICMPV6)
    body = struct.pack("!BBHHH", 128, 0, 0, ident, seq) + data
    return body[:2] + struct.pack("!H", checksum(pseudo + body)) + body[4:]


def ipv6_packet(src, dst, next_header=PROTO_NONE, payload=b"", tclass=0, hop_limit=64):
    return ipv6_header(src, dst, len(payload), next_header, tclass, 0, hop_limit) + payload


def ipv6_udp(src, dst, payload, sport=40000, dport=9, tclass=0):
    return ipv6_packet(src, dst, PROTO_UDP, udp_datagram(src, dst, sport, dport, payload), tclass)


def ipv6_echo(src, dst, size, ident=0x4242, seq=1):
    """An ICMPv6 echo request that makes an IPv6 packet of exactly size bytes."""
    data = bytes(i & 0xFF for i in range(size - 48))
    return ipv6_packet(src, dst, PROTO_ICMPV6, icmpv6_echo(src, dst, ident, seq, data))


# ---------------------------------------------------------------- parsing

IPv4 = collections.namedtuple("IPv4", "version ihl header_len tos total_length ident flags_offset "
                                      "ttl proto checksum src dst options payload")
IPv6 = collections.namedtuple("IPv6", "version tclass flow payload_length next_header hop_limit "
                                      "src dst payload")


def parse_ipv4(data):
    """An IPv4 datagram as a record; addresses as text, options and payload as
    bytes (the payload ends where the total length says)."""
    (vi, tos, total, ident, frag, ttl, proto, csum, src, dst) = struct.unpack(
        "!BBHHHBBH4s4s", data[:20])
    header_len = (vi & 0x0F) * 4
    return IPv4(vi >> 4, vi & 0x0F, header_len, tos, total, ident, frag, ttl, proto, csum,
                socket.inet_ntop(socket.AF_INET, src), socket.inet_ntop(socket.AF_INET, dst),
                data[20:header_len], data[header_len:total])


def ipv4_header_valid(data):
    """True when the checksum of the IPv4 header at the start of data is right."""
    return checksum(data[:(data[0] & 0x0F) * 4]) == 0


def parse_ipv6(data):
    word, plen, nh, hops, src, dst = struct.unpack("!IHBB16s16s", data[:40])
    return IPv6(word >> 28, (word >> 20) & 0xFF, word & 0xFFFFF, plen, nh, hops,
                socket.inet_ntop(socket.AF_INET6, src), socket.inet_ntop(socket.AF_INET6, dst),
                data[40:])


def udp_payload(ipv6):
    """(source port, destination port, payload) of a parsed IPv6 UDP packet."""
    sport, dport, length = struct.unpack("!HHH", ipv6.payload[:6])
    return sport, dport, ipv6.payload[8:length]


# ---------------------------------------------------------------- sending

def raw_ipv4_sender(namespace):
    """A raw socket in the namespace that sends whole IPv4 datagrams as given
    (IPPROTO_RAW implies the header is included). The kernel fills in the
    checksum and the total length, and keeps every other byte, options and a
    spoofed source included. Send with `sock.sendto(datagram, (dst, 0))`."""
    return socket_in(namespace, socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)


def proto41_socket(namespace, address=None):
    """A raw protocol-41 socket in the namespace, bound to address when given.
    What is sent on it gets its IPv4 header from the kernel, which fragments
    it as the route needs. While it is open, the namespace's kernel hands it
    the protocol-41 datagrams that arrive, instead of answering them with
    protocol-unreachable errors."""
    sock = socket_in(namespace, socket.AF_INET, socket.SOCK_RAW, PROTO_IPV6_IN_IPV4)
    if address is not None:
        sock.bind((address, 0))
    return sock


def send_udp(namespace, destination, port, payload, source=None):
    """Sends one UDP datagram from the namespace, over IPv6 or IPv4 as the
    destination is written; from source, when given."""
    family = socket.AF_INET if "." in destination else socket.AF_INET6
    with socket_in(namespace, family, socket.SOCK_DGRAM) as sock:
        if source is not None:
            sock.bind((source, 0))
        sock.sendto(payload, (destination, port))


# ---------------------------------------------------------------- capturing

# protocol: the frame's EtherType (on a tun interface, the one the packet
# information header gave).
Frame = collections.namedtuple("Frame", "data protocol pkttype")


class Capture(netlab.Closing):
    """An AF_PACKET socket on one interface of a namespace.

    On an Ethernet-like interface (veth) a frame starts with the 14-byte
    Ethernet header; `ip_payload` strips it. On a tun interface there is no
    link header: a frame is the bare IP packet. Frames the host sent on the
    interface have pkttype PACKET_OUTGOING. Use as a context manager, or call
    close()."""

    def __init__(self, namespace, ifname, ethertype=ETH_P_ALL, buffer_size=1 << 21):
        self.sock = socket_in(namespace, socket.AF_PACKET, socket.SOCK_RAW,
                              socket.htons(ethertype))
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, buffer_size)
        self.sock.bind((ifname, ethertype))
        self.sock.setblocking(False)

    def close(self):
        self.sock.close()

    def _receive(self, timeout):
        ready, _, _ = select.select([self.sock], [], [], max(timeout, 0))
        if not ready:
            return None
        data, address = self.sock.recvfrom(65535)
        return Frame(data, address[1], address[2])

    def drain(self):
        """Throws away what has been captured so far."""
        while self._receive(0) is not None:
            pass

    def until(self, predicate, timeout=10.0, what="a frame"):
        """Collects frames until one satisfies predicate; returns all frames
        collected, that one last. Fails after timeout; what may be a text or
        a function giving one, called only then."""
        deadline = time.monotonic() + timeout
        frames = []
        while True:
            frame = self._receive(deadline - time.monotonic())
            if frame is None:
                text = what() if callable(what) else what
                raise AssertionError("timed out after %.1fs waiting for %s (got %d frames)"
                                     % (timeout, text, len(frames)))
            frames.append(frame)
            if predicate(frame):
                return frames


class TunCapture:
    """Collects, on a thread, every IPv6 packet the daemon writes into its tun
    interface (the interface's incoming side; what the host sends into the
    tunnel is ignored by the kernel before it reaches this socket), as
    (EtherType, bytes) in `packets`."""

    def __init__(self, namespace, ifname):
        self.sock = socket_in(namespace, socket.AF_PACKET, socket.SOCK_RAW,
                              socket.htons(ETH_P_ALL))
        self.sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 8 << 20)
        self.sock.setsockopt(SOL_PACKET, PACKET_IGNORE_OUTGOING, 1)
        self.sock.bind((ifname, ETH_P_ALL))
        self.sock.settimeout(0.1)
        self.packets = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        # Once asked to stop, reads on until the queue is empty.
        while True:
            try:
                data, address = self.sock.recvfrom(65536)
            except socket.timeout:
                if self._stop.is_set():
                    return
                continue
            except OSError:
                return
            self.packets.append((address[1], data))

    def close(self):
        """Stops the thread; returns (packets seen, packets the kernel dropped)."""
        if self.sock.fileno() < 0:
            return None
        self._stop.set()
        self._thread.join(timeout=10)
        packets, drops = struct.unpack("II", self.sock.getsockopt(SOL_PACKET, PACKET_STATISTICS, 8))
        self.sock.close()
        return packets, drops


def ip_payload(frame):
    """The IP packet inside an Ethernet frame, or None for another EtherType."""
    if len(frame.data) < 14:
        return None
    ethertype = struct.unpack("!H", frame.data[12:14])[0]
    if ethertype not in (ETH_P_IP, ETH_P_IPV6):
        return None
    return frame.data[14:]


def proto41(frame):
    """The IPv4 protocol-41 datagram inside an Ethernet frame, or None."""
    packet = ip_payload(frame)
    if packet is None or len(packet) < 20 or packet[0] >> 4 != 4 or packet[9] != 41:
        return None
    return packet
