// SPDX-License-Identifier: BSD-2-Clause
// The inbound path: one protocol-41 datagram from the raw socket to the
// tunnel device.
#pragma once

#include "daemon/tunnel_context.h"
#include "forward/path_outcome.h"

#include <cstddef>

// Decides on the datagram of n bytes received at ctx.buffer, tracing errors
// and refusals. On OUTCOME_FORWARD *header_len is the IPv4 header length H
// and the tunnel header has been written over the last 4 bytes of the IPv4
// header: the frame for the device is the n - H + 4 bytes from
// ctx.buffer + H - 4.
path_outcome raw2tun_decide(const TunnelContext& ctx, size_t n, size_t* header_len);

// Receives one datagram from the raw socket, decides, writes and counts. 0,
// or -1 after logging when the tunnel device is gone (its interface deleted).
int raw2tun(TunnelContext& ctx);
