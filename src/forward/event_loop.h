// SPDX-License-Identifier: BSD-2-Clause
// The daemon's working life: wait on the tunnel device, the raw socket and
// the signal pipe, and serve each in that order.
#pragma once

#include "daemon/tunnel_context.h"

// Returns 1 when SIGINT or SIGTERM asked for a stop, -1 when waiting or
// reading the signal pipe failed.
int run_event_loop(TunnelContext& ctx);

// Refuses descriptors that do not fit a select() set. 0, or -1 after logging.
int check_select_limit(const TunnelContext& ctx);

// Logs the eight counters at LOG_INFO.
void report_statistics(const TunnelContext& ctx);
