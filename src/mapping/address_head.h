// SPDX-License-Identifier: BSD-2-Clause
// The prefix tests of the packet paths, on the first 64 bits of an address.
//
// Once the daemon runs, the 6rd prefix length P is 16 to 63, the common
// length M 0 to 31 and the delegated length D = P + 32 - M at most 64, so
// every bit the paths test or extract lies in the first 64 bits of an
// address. One 64-bit load then answers what prefix_differs and
// extract_v4_address answer byte by byte; those remain the definitions, and
// the unit tests hold these to them.
#pragma once

#include <arpa/inet.h>
#include <endian.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstring>

// The first 64 bits of an address, in host order. Reads 8 bytes whatever the
// prefix length: only for addresses known to be whole.
inline uint64_t address_head(const in6_addr* addr)
{
    uint64_t head;
    std::memcpy(&head, addr->s6_addr, sizeof head);
    return be64toh(head);
}

// Whether the first n bits (1 to 64) of two address heads differ.
inline bool heads_differ(uint64_t a, uint64_t b, int n)
{
    return ((a ^ b) >> (64 - n)) != 0;
}

// The IPv4 address embedded after a 6rd prefix of prefix_len bits: the first
// common_len bits from own, the other 32 - common_len from the head.
inline in_addr head_v4_address(uint64_t head, int prefix_len, int common_len, in_addr own)
{
    const uint32_t window = static_cast<uint32_t>((head << prefix_len) >> 32);
    const uint32_t common = ntohl(own.s_addr) & ~(0xFFFFFFFFu >> common_len);
    in_addr address;
    address.s_addr = htonl((window >> common_len) | common);
    return address;
}
