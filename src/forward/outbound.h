// SPDX-License-Identifier: BSD-2-Clause
// The outbound path: one IPv6 packet from the tunnel device to the raw socket.
#pragma once

#include "daemon/tunnel_context.h"
#include "forward/path_outcome.h"

#include <netinet/in.h>

#include <cstddef>

// Offset in the buffer at which frames from the tunnel device are read: the
// 20 bytes in front leave room for the outer IPv4 header, which ends up
// overwriting the frame header.
inline constexpr size_t outbound_read_offset = 20;

// Decides on the frame of n bytes read to ctx.buffer + outbound_read_offset,
// tracing errors and refusals. On OUTCOME_FORWARD the outer IPv4 header has
// been written at ctx.buffer + 4, *target names the destination and *length
// is the IPv6 packet length L: the datagram is the L + 20 bytes from
// ctx.buffer + 4.
path_outcome tun2raw_decide(const TunnelContext& ctx, size_t n, sockaddr_in* target,
                            size_t* length);

// Reads one frame from the tunnel device, decides, sends and counts. 0, or
// -1 after logging when the tunnel device is gone (its interface deleted):
// every later read would fail the same way.
int tun2raw(TunnelContext& ctx);
