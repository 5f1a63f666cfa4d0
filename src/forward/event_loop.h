// SPDX-License-Identifier: BSD-2-Clause
// The daemon's working life: wait on the tunnel device, the raw socket and
// the signal pipe, and serve each in that order.
#pragma once

#include "daemon/tunnel_context.h"

// Returns 1 when SIGINT or SIGTERM asked for a stop, -1 when waiting or
// reading the signal pipe failed.
int run_event_loop(TunnelContext& ctx);

// What a loop does when a descriptor is readable: one call serves the
// tunnel device, the other the raw socket. Each returns 0, or -1 when the
// tunnel device is gone.
struct loop_paths {
    int (*outbound)(TunnelContext& ctx);
    int (*inbound)(TunnelContext& ctx);
};

// The one wait of every loop: the three descriptors, served in their order,
// the signal pipe last. Returns as run_event_loop does.
int run_loop(TunnelContext& ctx, const loop_paths& paths);

// Refuses descriptors that do not fit a select() set. 0, or -1 after logging.
int check_select_limit(const TunnelContext& ctx);

// Logs the eight counters at LOG_INFO.
void report_statistics(const TunnelContext& ctx);
