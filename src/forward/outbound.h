// SPDX-License-Identifier: BSD-2-Clause
// The outbound path: one IPv6 packet from the tunnel device to the raw socket.
#pragma once

#include "daemon/tunnel_context.h"
#include "forward/path_outcome.h"

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Offset in the buffer at which frames from the tunnel device are read: the
// 20 bytes in front leave room for the outer IPv4 header, which ends up
// overwriting the frame header.
inline constexpr size_t outbound_read_offset = 20;

// Offset in the buffer of the outer IPv4 header, which a decision to send
// writes: the datagram starts there.
inline constexpr size_t outbound_datagram_offset = 4;

// Decides on the frame of n bytes read to buffer + outbound_read_offset,
// tracing errors and refusals; buffer holds ctx.buffer_size bytes (the
// context's own, or one of the fast path's). On OUTCOME_FORWARD the outer
// IPv4 header has been written at buffer + 4, *target names the destination
// and *length is the IPv6 packet length L: the datagram is the L + 20 bytes
// from buffer + 4.
path_outcome tun2raw_decide(const TunnelContext& ctx, uint8_t* buffer, size_t n,
                            sockaddr_in* target, size_t* length);

// Reads one frame from the tunnel device, decides, sends and counts. 0, or
// -1 after logging when the tunnel device is gone (its interface deleted):
// every later read would fail the same way.
int tun2raw(TunnelContext& ctx);

// What follows a decision, the same in both loops.

// Counts a refusal or an error.
void tun2raw_count(TunnelContext& ctx, path_outcome outcome);

// A read that brought no frame (n 0 or -1 with errno): counted and logged.
// -1 when the device is gone, 0 when only this packet is lost.
int tun2raw_read_failed(TunnelContext& ctx, ssize_t n);

// The raw socket refused the datagram of buffer (errno tells why): one
// larger than the path MTU may still leave in fragments. 0 when it left
// after all, -1 when it is counted and logged as lost.
int tun2raw_send_failed(TunnelContext& ctx, const uint8_t* buffer, size_t length,
                        const sockaddr_in& target);

// The datagram of buffer has left: its trace line and its counters.
void tun2raw_sent(TunnelContext& ctx, const uint8_t* buffer, size_t length);
