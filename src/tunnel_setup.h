// SPDX-License-Identifier: BSD-2-Clause
// A running tunnel's context without a running daemon: the record as main()
// leaves it just before the event loop starts, for the unit tests, the fuzz
// targets and the benchmark. No test framework is needed here.
#pragma once

#include "daemon/tunnel_context.h"
#include "mapping/prefix.h"

#include <netinet/in.h>

#include <cstdint>

// The 6rd domain of a tunnel: its prefix as given on the command line, the
// own and relay addresses, and the common IPv4 length.
struct tunnel_setup {
    in6_addr prefix;
    int prefix_len;
    in_addr own;
    in_addr relay;
    int common_len;
};

// The context of a started tunnel on buffer (tunnel_buffer_size bytes): the
// relay as the resolver returns it, the own suffix embedded into the prefix,
// counters at zero and no descriptors; tests that run whole paths put their
// own descriptors in.
inline TunnelContext running_context(const tunnel_setup& setup, uint8_t* buffer)
{
    TunnelContext ctx{};
    ctx.buffer = buffer;
    ctx.buffer_size = tunnel_buffer_size;
    ctx.prefix = setup.prefix;
    ctx.prefix_len = setup.prefix_len;
    ctx.my_v4_addr = setup.own;
    ctx.v4_common_len = setup.common_len;
    ctx.relay_addr.sin_family = AF_INET;
    ctx.relay_addr.sin_port = 0;
    ctx.relay_addr.sin_addr = setup.relay;
    ctx.tun_fd = -1;
    ctx.raw_fd = -1;
    embed_v4_suffix(&ctx.prefix, ctx.prefix_len, &ctx.my_v4_addr, ctx.v4_common_len);
    return ctx;
}
