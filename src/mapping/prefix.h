// SPDX-License-Identifier: BSD-2-Clause
// Bit operations of a 6rd domain. Bit 0 of an address is the most significant
// bit of its first byte; every address is in network byte order.
#pragma once

#include <netinet/in.h>

// The lengths a tunnel takes, in bits: the 6rd prefix, the IPv4 bits common
// to the domain (the -r value) and the delegated prefix (prefix length + 32 -
// common length). The daemon refuses to start outside them, and the DHCP
// helper refuses a lease outside them, from these same numbers.
inline constexpr int min_prefix_len = 16;
inline constexpr int max_prefix_len = 63;
inline constexpr int max_common_len = 31;
inline constexpr int max_delegated_len = 64;

// 0 when the first n bits of a and b agree, non-zero otherwise.
int prefix_differs(const in6_addr* a, const in6_addr* b, int n);

// Writes the last 32 - common_len bits of own into prefix from bit prefix_len
// on, turning the 6rd prefix into this site's delegated prefix.
void embed_v4_suffix(in6_addr* prefix, int prefix_len, const in_addr* own, int common_len);

// Rebuilds the IPv4 address of the site that addr (inside the 6rd prefix)
// belongs to: the first common_len bits from own, the rest from addr.
void extract_v4_address(in_addr* out, const in_addr* own, int common_len, const in6_addr* addr,
                        int prefix_len);
