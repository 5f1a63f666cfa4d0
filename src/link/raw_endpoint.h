// The network end of the tunnel: a raw IPv4 socket of protocol 41 with the
// header included, bound to the host's own address.
#pragma once

#include "daemon/tunnel_context.h"

#include <cstdint>

// The IPv4 protocol number of IPv6 carried in IPv4, in the socket and in
// every outer header sent.
inline constexpr uint8_t ipv6_in_ipv4_protocol = 41;

// Resolves my_v4_text into ctx.my_v4_addr, opens and binds the socket into
// ctx.raw_fd. 0, or -1 after logging and releasing what it made.
int open_raw_endpoint(const char* my_v4_text, TunnelContext& ctx);
