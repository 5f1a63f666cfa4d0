// SPDX-License-Identifier: BSD-2-Clause
// One tunnel and one packet per direction on the common path: a packet that
// is sent (outbound) or delivered (inbound), with tracing off. Shared by the
// Google Benchmark program and the instruction-count driver.
//
// The tunnel: 6rd prefix 2001:db8::/32, own address 192.0.2.1, relay
// 203.0.113.1, no common bits, so the delegated prefix is
// 2001:db8:c000:201::/64.
//   outbound: 2001:db8:c000:201::1 -> 2001:db8:cb00:7109::1, sent straight to
//             the site at 203.0.113.9 (prefix tests, extraction, IPv4 rule);
//   inbound:  198.51.100.7 carrying 2001:db8:c633:6407::1 ->
//             2001:db8:c000:201::10 (prefix tests, extraction, IPv4 rule).
#pragma once

#include "daemon/tunnel_context.h"
#include "forward/outbound.h"
#include "link/tun_device.h"
#include "trace/trace.h"
#include "tunnel_setup.h"

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>

namespace bench {

// Small packets: IPv6 header, UDP header and 64 bytes of payload.
inline constexpr size_t small_packet = 40 + 8 + 64;

inline void make_context(TunnelContext& ctx, uint8_t* buffer)
{
    tunnel_setup setup{};
    inet_pton(AF_INET6, "2001:db8::", &setup.prefix);
    setup.prefix_len = 32;
    inet_pton(AF_INET, "192.0.2.1", &setup.own);
    inet_pton(AF_INET, "203.0.113.1", &setup.relay);
    setup.common_len = 0;
    ctx = running_context(setup, buffer);
    DebugLevel = 0;
}

inline void write_ipv6_header(uint8_t* packet, size_t length, const char* source,
                              const char* destination)
{
    std::memset(packet, 0, length);
    packet[0] = 0x60;
    packet[4] = static_cast<uint8_t>((length - 40) >> 8);
    packet[5] = static_cast<uint8_t>(length - 40);
    packet[6] = 17;
    packet[7] = 64;
    inet_pton(AF_INET6, source, packet + 8);
    inet_pton(AF_INET6, destination, packet + 24);
}

// The frame header as the link layer leaves it after a read.
inline void restore_frame_header(const TunnelContext& ctx)
{
    const uint32_t header = htonl(tun_family_inet6);
    std::memcpy(ctx.buffer + outbound_read_offset, &header, sizeof header);
}

// The IPv4 destination of the inbound datagram, which raw2tun_decide
// overwrites with the frame header (it is never examined).
inline void restore_inbound_destination(const TunnelContext& ctx)
{
    const uint32_t destination = htonl(0xC0000201u);  // 192.0.2.1
    std::memcpy(ctx.buffer + 16, &destination, sizeof destination);
}

// Places one frame (header + IPv6 packet of length bytes) where tun2raw reads
// it; returns the count a read would give.
inline size_t load_outbound(const TunnelContext& ctx, size_t length)
{
    restore_frame_header(ctx);
    write_ipv6_header(ctx.buffer + outbound_read_offset + tun_header_len, length,
                      "2001:db8:c000:201::1", "2001:db8:cb00:7109::1");
    return length + tun_header_len;
}

// Places one datagram (IPv4 header + IPv6 packet of length bytes) where
// raw2tun receives it; returns the count a receive would give.
inline size_t load_inbound(const TunnelContext& ctx, size_t length)
{
    uint8_t* datagram = ctx.buffer;
    std::memset(datagram, 0, 20);
    datagram[0] = 0x45;
    datagram[2] = static_cast<uint8_t>((length + 20) >> 8);
    datagram[3] = static_cast<uint8_t>(length + 20);
    datagram[8] = 64;
    datagram[9] = 41;
    inet_pton(AF_INET, "198.51.100.7", datagram + 12);
    inet_pton(AF_INET, "192.0.2.1", datagram + 16);
    write_ipv6_header(datagram + 20, length, "2001:db8:c633:6407::1", "2001:db8:c000:201::10");
    return length + 20;
}

}  // namespace bench
