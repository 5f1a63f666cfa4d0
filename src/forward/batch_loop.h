// SPDX-License-Identifier: BSD-2-Clause
// The fast path beside the plain loop (-b): up to a batch of packets per
// direction per wake-up, in as few system calls as the kernel allows, and
// the tunnel device's offloads. The same wait, the same order, and the same
// decisions, counters, trace lines and log lines per packet as the plain
// loop: every packet still goes through tun2raw_decide or raw2tun_decide.
#pragma once

#include "daemon/tunnel_context.h"

// The largest batch -b takes; 1 is the plain loop.
inline constexpr int max_batch = 64;

// Takes the buffers for batches of up to size packets, once, at start-up:
// nothing is allocated while forwarding. offloads tells whether the device
// took its offloads (open_tun_device_for_batches). 0, or -1 after logging.
int prepare_batches(int size, bool offloads);

// The loop of run_event_loop, each readable descriptor served with a batch;
// the same results.
int run_batch_loop(TunnelContext& ctx);
