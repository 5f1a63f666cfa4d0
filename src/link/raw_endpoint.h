// The network end of the tunnel: a raw IPv4 socket of protocol 41 with the
// header included, bound to the host's own address.
#pragma once

#include "daemon/tunnel_context.h"

// Resolves my_v4_text into ctx.my_v4_addr, opens and binds the socket into
// ctx.raw_fd. 0, or -1 after logging and releasing what it made.
int open_raw_endpoint(const char* my_v4_text, TunnelContext& ctx);
