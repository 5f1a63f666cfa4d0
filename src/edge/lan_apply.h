// SPDX-License-Identifier: BSD-2-Clause
// Puts the LAN in the state a plan asks for: the prefix history on disk with
// a route to each stale prefix, the router advertisements (radvd, in a unit
// of its own per tunnel), the firewall table (nftables) and IPv6 forwarding. Each piece that fails is
// logged and leaves the others, and the tunnel, working.
#pragma once

#include "edge/lease_plan.h"
#include "edge/prefix_history.h"

// Where the prefix history lives; it must outlast a reboot. Its copy in
// /run is read first, and holds it also when /var/lib can't be written.
inline constexpr char history_path[] = "/var/lib/ferrin/prefixes";
inline constexpr char run_history_path[] = "/run/ferrin/prefixes";

// The history as it is: the copy in /run, else the one in /var/lib; none,
// or damaged files, give an empty one (the damage logged).
prefix_history read_history();

// 1 when a stale prefix of the history has reached its end, or its time
// must be mended, or /var/lib holds an older history than /run: the next
// apply_lan stops announcing it, or writes it.
int history_expired(const prefix_history& history, long long now);

// plan is null when there is no tunnel. With the tunnel up the LANs hear
// this host as their router; down, that it is gone. exceptions is the nft
// include pattern of the operator's own rules. 0, or -1 when the prefix
// history could not be stored where it outlasts a reboot (everything else
// still applied).
int apply_lan(const char* tun, const tunnel_plan* plan, int tunnel_up, const char* exceptions);

// Takes down what apply_lan made for tun: its radvd unit and configuration,
// its table. For a tunnel the settings no longer name.
void retire_lan(const char* tun);

// How the table's file in /run names, at its head, an operator's file nft
// refused and the table was loaded without.
inline constexpr char left_out_mark[] = "# left out, nft refused it: ";

// Paths below /run/ferrin of what apply_lan writes for tun, for status.
void radvd_config_path(const char* tun, char* out, size_t size);
void firewall_path(const char* tun, char* out, size_t size);
