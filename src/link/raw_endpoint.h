// SPDX-License-Identifier: BSD-2-Clause
// The network end of the tunnel: a raw IPv4 socket of protocol 41 with the
// header included, bound to the host's own address.
#pragma once

#include "daemon/tunnel_context.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// The IPv4 protocol number of IPv6 carried in IPv4, in the socket and in
// every outer header sent.
inline constexpr uint8_t ipv6_in_ipv4_protocol = 41;

// Resolves my_v4_text into ctx.my_v4_addr, opens and binds the socket into
// ctx.raw_fd. 0, or -1 after logging and releasing what it made.
int open_raw_endpoint(const char* my_v4_text, TunnelContext& ctx);

// Room in the receive queue for bursts: a forwarder that falls behind for a
// moment (a TCP sender's window arriving at once) loses nothing. Asked for
// in every mode.
inline constexpr int raw_receive_buffer = 4 << 20;

// Gives the socket a receive queue of raw_receive_buffer bytes, beyond the
// system's limit for others where the process may (as root does). Best
// effort: a smaller queue only loses more in bursts.
void size_receive_buffer(int fd);

// The platform's way out for a datagram larger than the IPv4 path MTU, which
// the raw socket refuses with EMSGSIZE although its header allows fragments:
// set up by open_raw_endpoint, bound to the same address. 0, or -1 after
// logging and releasing what it made.
int open_fragment_sender(const sockaddr* address, socklen_t length, const char* address_text);

// Empties the way out's queue once more, at the end of the start-up: a
// datagram that passed on another CPU just before its filter was attached
// is queued a moment after open_fragment_sender emptied it.
void drop_fragment_sender_input();

// Sends the datagram of length bytes (outer header first, as the raw socket
// takes it) so that it leaves in fragments with the same header fields. The
// count sent, or -1 with errno.
ssize_t send_fragmentable(const uint8_t* datagram, size_t length, const sockaddr_in& target);
