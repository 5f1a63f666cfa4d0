// SPDX-License-Identifier: BSD-2-Clause
// What the LAN's hosts are told: the text of radvd's configuration for one
// tunnel, a pure function of the plan, whether the tunnel runs, and the
// prefix history.
#pragma once

#include "edge/lease_plan.h"
#include "edge/prefix_history.h"

#include <cstddef>

inline constexpr size_t radvd_text_size = 16384;

// With the tunnel up, each LAN of the plan hears this edge as its default
// router, its /64 to form addresses in, a route to the whole delegated
// prefix and the DNS servers; with the tunnel down, that the router is gone
// and its /64 no longer preferred. Without forwarding the /64 stays, but
// this host is no router. Every interface also hears its stale prefixes
// with zero lifetimes. Writes "" when no interface has anything to hear:
// then no radvd runs.
void radvd_config(const tunnel_plan* plan, int tunnel_up, const prefix_history& history,
                  const char* tun, char* out, size_t size, int forwarding = 1);
