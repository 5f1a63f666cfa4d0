// SPDX-License-Identifier: BSD-2-Clause
// Where the packet paths find the addresses of an IPv6 packet whose fixed
// header is known to be whole.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

inline constexpr size_t ipv6_header_len = 40;

inline const in6_addr* ipv6_source_of(const uint8_t* packet)
{
    return reinterpret_cast<const in6_addr*>(packet + 8);
}

inline const in6_addr* ipv6_destination_of(const uint8_t* packet)
{
    return reinterpret_cast<const in6_addr*>(packet + 24);
}

// The next-header byte, shown in the trace lines.
inline unsigned ipv6_next_header_of(const uint8_t* packet)
{
    return packet[6];
}
