// SPDX-License-Identifier: BSD-2-Clause
// The one record of a running tunnel: configuration, descriptors, the packet
// buffer and the eight packet counters. main() makes exactly one and hands it
// by reference to the event loop and the two packet paths.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

inline constexpr size_t tunnel_buffer_size = 2048;

struct TunnelContext {
    uint8_t* buffer;          // the single packet buffer, buffer_size bytes
    uint64_t buffer_size;     // always tunnel_buffer_size
    in6_addr prefix;          // 6rd prefix; the delegated prefix once started
    int32_t prefix_len;       // 16 to 63
    in_addr my_v4_addr;       // own IPv4 address, network byte order
    int32_t v4_common_len;    // 0 to 31 leading IPv4 bits shared by the domain
    sockaddr_in relay_addr;   // the border relay, as the resolver gave it
    int tun_fd;
    int raw_fd;
    uint64_t Ipkts;           // inbound packets delivered
    uint64_t Ierrs;           // inbound errors
    uint64_t Irjct;           // inbound packets refused by the address rules
    uint64_t Ibytes;          // inbound IPv6 bytes delivered
    uint64_t Opkts;           // outbound packets sent
    uint64_t Oerrs;           // outbound errors
    uint64_t Orjct;           // outbound packets refused by the address rules
    uint64_t Obytes;          // outbound IPv6 bytes sent
};

// Length in bits of this site's delegated prefix.
inline int delegated_prefix_len(const TunnelContext& ctx)
{
    return ctx.prefix_len + 32 - ctx.v4_common_len;
}
