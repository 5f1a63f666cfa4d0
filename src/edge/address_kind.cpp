// SPDX-License-Identifier: BSD-2-Clause
#include "edge/address_kind.h"

#include <arpa/inet.h>

#include <cstdint>

const char* ipv4_unicast_problem(const in_addr& addr)
{
    const uint32_t a = ntohl(addr.s_addr);
    if (a >> 24 == 0)
        return "an address of 0.0.0.0/8 (this network)";
    if (a >> 24 == 127)
        return "a loopback address";
    if (a >> 28 == 0xE)
        return "a multicast address";
    if (a == 0xFFFFFFFFu)
        return "the limited broadcast address";
    return nullptr;
}

const char* sixrd_prefix_problem(const in6_addr& prefix)
{
    const uint8_t b0 = prefix.s6_addr[0];
    const uint8_t b1 = prefix.s6_addr[1];
    if (b0 == 0x00)
        return "a prefix in ::/8 (unspecified, loopback, IPv4-mapped)";
    if (b0 == 0xFE && (b1 & 0xC0) == 0x80)
        return "a link-local prefix";
    if (b0 == 0xFE && (b1 & 0xC0) == 0xC0)
        return "a site-local prefix";
    if (b0 == 0xFF)
        return "a multicast prefix";
    return nullptr;
}
