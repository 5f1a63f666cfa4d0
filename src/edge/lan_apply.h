// SPDX-License-Identifier: BSD-2-Clause
// Puts the LAN in the state a plan asks for: the prefix history on disk with
// a route to each stale prefix, the router advertisements (radvd, in a unit
// of its own per tunnel), the firewall table (nftables) and IPv6 forwarding. Each piece that fails is
// logged and leaves the others, and the tunnel, working.
#pragma once

#include "edge/lease_plan.h"
#include "edge/prefix_history.h"

#include <string>

// The routes to stale prefixes are set apart from the kernel's route of an
// address by their metric (and protocol, static).
inline constexpr char stale_route_metric[] = "2048";

// Where the prefix history lives; it must outlast a reboot. Its copy in
// /run is read first, and holds it also when /var/lib can't be written.
inline constexpr char history_path[] = "/var/lib/ferrin/prefixes";
inline constexpr char run_history_path[] = "/run/ferrin/prefixes";

// The history as it is: the copy in /run, else the one in /var/lib; none,
// or damaged files, give an empty one (the damage logged).
prefix_history read_history();

// plan is null when there is no tunnel. With the tunnel up the LANs hear
// this host as their router; down, that it is gone. exceptions is the nft
// include pattern of the operator's own rules. What is in place is read
// back and only what is missing or differs is done, so that any event may
// call it and the same plan twice changes nothing; with reload_table the
// table is loaded all the same (the operator's files may have changed).
// put_back, when given, gets a list of what was missing and is in place now.
// 0, or -1 when the prefix history could not be stored where it outlasts a
// reboot: the LAN is as the plan asks all the same, and the next event
// stores it again.
int apply_lan(const char* tun, const tunnel_plan* plan, int tunnel_up, const char* exceptions,
              int reload_table, std::string* put_back);

// Takes down what apply_lan made for tun: its link watcher, its radvd unit
// and configuration, its table. For a tunnel the settings no longer name.
void retire_lan(const char* tun);

// Removes every route to a stale prefix, the history's or not: for the
// package's removal, after which nothing tells the hosts on them.
void remove_stale_routes();

// How the copy of the history in /run says that /var/lib holds an older one
// ("<mark><path>: <error>"), for status.
inline constexpr char not_stored_mark[] = "# not stored in ";

// How the table's file in /run names, at its head, an operator's file nft
// refused and the table was loaded without.
inline constexpr char left_out_mark[] = "# left out, nft refused it: ";

// "<settings folder>/lan-firewall.d/*.nft": the nft include pattern of the
// operator's own rules for traffic from the tunnel to the LAN.
std::string exceptions_pattern(const char* settings_path);

// Paths below /run/ferrin of what apply_lan writes for tun, for status.
void radvd_config_path(const char* tun, char* out, size_t size);
void firewall_path(const char* tun, char* out, size_t size);
