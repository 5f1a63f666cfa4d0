// SPDX-License-Identifier: BSD-2-Clause
// The inbound path: one protocol-41 datagram from the raw socket to the
// tunnel device.
#pragma once

#include "daemon/tunnel_context.h"
#include "forward/path_outcome.h"

#include <cstddef>

// Decides on the datagram of n bytes received at buffer, which holds
// ctx.buffer_size bytes (the context's own, or one of the fast path's),
// tracing errors and refusals. On OUTCOME_FORWARD *header_len is the IPv4
// header length H and the tunnel header has been written over the last 4
// bytes of the IPv4 header: the frame for the device is the n - H + 4 bytes
// from buffer + H - 4.
path_outcome raw2tun_decide(const TunnelContext& ctx, uint8_t* buffer, size_t n,
                            size_t* header_len);

// Receives one datagram from the raw socket, decides, writes and counts. 0,
// or -1 after logging when the tunnel device is gone (its interface deleted).
int raw2tun(TunnelContext& ctx);

// What follows a decision, the same in both loops.

// Counts a refusal or an error.
void raw2tun_count(TunnelContext& ctx, path_outcome outcome);

// A receive that failed (errno tells why): counted and logged.
void raw2tun_receive_failed(TunnelContext& ctx);

// A write the device refused (errno tells why): counted and logged. -1 when
// the device is gone, 0 when only this packet is lost.
int raw2tun_write_failed(TunnelContext& ctx);

// The packet of L bytes at buffer + header_len has reached the device: its
// trace line (the IPv4 source is still at its place in buffer) and its
// counters.
void raw2tun_delivered(TunnelContext& ctx, const uint8_t* buffer, size_t header_len,
                       size_t packet_len);
