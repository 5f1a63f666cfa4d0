#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Writes the seed corpus of every fuzz target (fuzz/corpus/<target>/) from
the worked examples: the domain 2001:db8::/32, own address 192.0.2.1, relay
203.0.113.1, with and without -r 8. Run it again after changing an input
layout; the files are committed."""

import ipaddress
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

PREFIX = ipaddress.IPv6Address("2001:db8::").packed
OWN = ipaddress.IPv4Address("192.0.2.1").packed
RELAY = ipaddress.IPv4Address("203.0.113.1").packed


def v6(text):
    return ipaddress.IPv6Address(text).packed


def v4(text):
    return ipaddress.IPv4Address(text).packed


def setup(prefix_len=32, common_len=0, shape=0, mode=0, peer=b"\0\0\0\0"):
    """The 32 set-up bytes of the packet targets (P = 16 + byte % 48; with
    P <= 32, M = byte % 32)."""
    return bytes([prefix_len - 16, common_len, shape, mode]) + PREFIX + OWN + RELAY + peer


def ipv6_packet(source, destination, traffic_class=0, payload=24, next_header=58):
    first = 0x60000000 | (traffic_class << 20)
    header = struct.pack("!IHBB", first, payload, next_header, 64) + v6(source) + v6(destination)
    return header + bytes(range(payload))


def ipv4_header(source, header_len=20):
    options = b"\x01" * (header_len - 20)
    return (bytes([0x40 | header_len // 4, 0]) + struct.pack("!HHHBBH", 0, 0, 0, 64, 41, 0)
            + v4(source) + OWN + options)


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main():
    frame = b"\x00\x00\x00\x1c"
    outbound = {
        "direct": ipv6_packet("2001:db8:c000:201::10", "2001:db8:c633:6407::1"),
        "relay": ipv6_packet("2001:db8:c000:201::10", "3fff::1", traffic_class=0xb8),
        "reject_v4": ipv6_packet("2001:db8:c000:201::10", "2001:db8:a00:1::1"),
        "reject_v6": ipv6_packet("2001:db8:c000:201::10", "fe80::1"),
        "not_me": ipv6_packet("2001:db8:c000:202::10", "2001:db8:c633:6407::1"),
        "bare_header": ipv6_packet("2001:db8:c000:201::10", "3fff::1", payload=0),
    }
    for name, packet in outbound.items():
        write("outbound", name, setup() + frame + packet)
    write("outbound", "common8", setup(common_len=8) + frame
          + ipv6_packet("2001:db8:2:101::10", "2001:db8:3364:700::1"))
    write("outbound", "ipv4_frame", setup() + b"\x00\x00\x00\x02" + b"\x45" * 40)

    inbound = {
        "site": ("198.51.100.7", "2001:db8:c633:6407::1", "2001:db8:c000:201::10"),
        "spoofed_site": ("203.0.113.9", "2001:db8:c633:6407::1", "2001:db8:c000:201::10"),
        "reject_v4": ("10.0.0.1", "2001:db8:a00:1::1", "2001:db8:c000:201::10"),
        "relay": ("203.0.113.1", "3fff::1", "2001:db8:c000:201::10"),
        "not_relay": ("198.51.100.7", "3fff::1", "2001:db8:c000:201::10"),
        "reject_v6": ("203.0.113.1", "fe80::1", "2001:db8:c000:201::10"),
        "not_me": ("198.51.100.7", "2001:db8:c633:6407::1", "2001:db8:c633:6407::2"),
    }
    for name, (v4_source, source, destination) in inbound.items():
        write("inbound", name, setup() + ipv4_header(v4_source) + ipv6_packet(source, destination))
    write("inbound", "options60", setup() + ipv4_header("198.51.100.7", 60)
          + ipv6_packet("2001:db8:c633:6407::1", "2001:db8:c000:201::10"))
    write("inbound", "common8", setup(common_len=8) + ipv4_header("192.51.100.7")
          + ipv6_packet("2001:db8:3364:700::1", "2001:db8:2:1ff::1"))

    texts = {
        "prefix": b"\x00" + b"2001:db8::/32",
        "prefix_blank": b"\x00" + b"2001:db8::/ 32",
        "prefix_slashes": b"\x00" + b"2001:db8::/32/8",
        "prefix_v4": b"\x00" + b"192.0.2.0/24",
        "prefixlen": b"\x01" + b"+63",
        "common": b"\x02" + b"4294967328",
        "bounds": b"\x03" + struct.pack("!II", 5, 70000) + b" -0",
        "relay": b"\x04" + b"203.0.113.1",
    }
    for name, data in texts.items():
        write("command_line", name, data)

    write("frame", "ipv6", b"\x04" + b"\x00\x00\x86\xdd" + ipv6_packet("3fff::1", "3fff::2"))
    write("frame", "ipv4", b"\x03" + b"\x00\x00\x08\x00" + b"\x45" * 20)
    write("frame", "header", b"\x84" + b"\x00\x00\x00\x1c" + ipv6_packet("3fff::1", "3fff::2"))
    write("frame", "short", b"\x00" + b"\x86\xdd")

    mapping = [
        ("p32", 64, 32, 0, "2001:db8:c000:201::", "2001:db8:c000:203::1", "192.0.2.1"),
        ("p36", 38, 36, 8, "2001:db8:f000::", "2001:db8:f336::", "198.51.100.7"),
        ("p24", 62, 24, 8, "3fff:100::", "3fff:1cb:71:900::1", "203.0.113.9"),
        ("p20", 32, 20, 0, "3fff::", "3fff:cb0:710:9000::1", "203.0.113.9"),
        ("p63", 63, 63, 31, "2001:db8:ffff:ffff::", "fe80::1", "255.255.255.255"),
    ]
    for name, n, prefix_len, common_len, a, b, own in mapping:
        lowest = max(0, prefix_len - 32)
        data = bytes([n, prefix_len - 16, common_len - lowest]) + v6(a) + v6(b) + v4(own)
        write("mapping", name, data)

    # TCP from 2001:db8:c000:201::1 to another site, a 32-byte header with
    # timestamps; the targets write its checksum (shaping bit 1 or 0).
    def tcp(sequence, payload, flags=0x10):
        header = struct.pack("!HHIIBBHHH", 50000, 443, sequence, 0x11000022, 8 << 4, flags,
                             501, 0, 0) + b"\x01\x01\x08\x0a" + bytes(8)
        packet = ipv6_packet("2001:db8:c000:201::1", "2001:db8:c633:6407::1",
                             payload=0, next_header=6)
        packet = packet[:4] + struct.pack("!H", len(header) + payload) + packet[6:40]
        return packet + header + bytes((i * 7) & 0xFF for i in range(payload))

    cut = [("tso3", 1208, 3000, 0x18), ("tso_small", 100, 1000, 0x19),
           ("one_piece", 1208, 500, 0x10)]
    for name, segment_size, payload, flags in cut:
        write("segmentation", name, struct.pack("!HBHB", segment_size, 7, 40, 16)
              + tcp(1000, payload, flags))
    write("segmentation", "udp_partial", struct.pack("!HBHB", 0, 4, 40, 6)
          + ipv6_packet("2001:db8:c000:201::1", "3fff::1", payload=72, next_header=17))

    def followers(sequence_payloads, byte=0xFF, value=0):
        return b"".join(struct.pack("!HBB", n, byte, value) + bytes(n) for n in sequence_payloads)

    first = tcp(7, 1208)
    write("coalescing", "run3", b"\x07" + struct.pack("!H", len(first)) + first
          + followers([1208, 1208, 300]))
    write("coalescing", "gap", b"\x03" + struct.pack("!H", len(first)) + first
          + followers([1208, 1208]))
    write("coalescing", "other_port", b"\x07" + struct.pack("!H", len(first)) + first
          + followers([1208]) + followers([1208], 43, 0x51))


if __name__ == "__main__":
    main()
