// SPDX-License-Identifier: BSD-2-Clause
// The LAN prefixes that hosts may hold addresses in: those advertised now,
// and those withdrawn after a renumbering or the end of the lease, which are
// announced with zero lifetimes until the last address a host formed in them
// has run out. Kept on disk, so that a restart or a reboot inside that time
// still announces them. Everything here is pure.
#pragma once

#include "edge/lease_plan.h"

#include <cstddef>

// What the hosts are told of a prefix in force (RFC 9096's limits): an
// address formed in it lives at most lan_valid_lifetime seconds after the
// last advertisement it heard.
inline constexpr int lan_valid_lifetime = 5400;
inline constexpr int lan_preferred_lifetime = 2700;
inline constexpr int router_lifetime = 2700;

// Eight LANs renumbered a few times inside 90 minutes; beyond that the
// stale prefixes closest to their end are forgotten first.
inline constexpr int max_history = 32;

struct prefix_record {
    char lan[interface_name_size];
    char prefix[address_text_size];  // "2001:db8:2:101::/64"
    long long stale_until;           // 0 while in force; else the wall-clock second it ends
};

struct prefix_history {
    prefix_record records[max_history];
    int count;
};

// The package's build time: a wall clock before it is wrong (a boot without
// a real-time clock, before NTP), and expires nothing.
extern const long long clock_floor;

// The history once plan (null when there is no tunnel) is in force at now:
// a prefix in force that the plan no longer has turns stale for
// lan_valid_lifetime seconds, stale ones past their end are dropped, and the
// plan's prefixes are in force. No stale record ends later than
// now + lan_valid_lifetime (the clock was ahead when it was written); one
// written before clock_floor starts its time afresh; and with now before
// clock_floor nothing is dropped.
prefix_history next_history(const prefix_history& old, const tunnel_plan* plan, long long now);

// 1 when the two hold the same records in the same order.
int same_history(const prefix_history& a, const prefix_history& b);

// How many of the records are stale.
int stale_count(const prefix_history& history);

// The file's text, and back; a line the helper does not write is refused.
// 0, or -1 after logging, out then empty: a damaged file is rebuilt, not
// half believed.
inline constexpr size_t history_text_size = 8192;
void format_history(const prefix_history& history, char* out, size_t size);
int parse_history(const char* text, const char* name, prefix_history* out);
