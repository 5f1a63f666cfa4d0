// SPDX-License-Identifier: BSD-2-Clause
// The LAN's firewall: the text of an nftables table of ferrin-6rd's own, a
// pure function of the plan and the prefix history. The text replaces the
// whole table in one step, so it stands beside the operator's ruleset and
// never leaves half a table behind.
#pragma once

#include "edge/lease_plan.h"
#include "edge/prefix_history.h"

#include <cstddef>

inline constexpr size_t firewall_text_size = 16384;

// "ferrin-<tun>", the table's name in the ip6 family.
void firewall_table_name(const char* tun, char* out, size_t size);

// From the tunnel to the LAN only what the LAN asked for passes (with the
// ICMPv6 that must not be dropped, IPsec, and the operator's own rules from
// the files exceptions names, an nft include pattern), unless the plan turns
// the firewall off; from the LAN everything passes, TCP SYNs into the tunnel
// with their MSS clamped to its MTU; a host sending from a stale prefix is
// told so (ICMPv6 destination unreachable, source address failed policy).
// Returns 1 with the text that puts the table in place, or 0 with the text
// that removes it, when there is no LAN and nothing is stale.
int firewall_text(const tunnel_plan* plan, const prefix_history& history, const char* tun,
                  const char* exceptions, char* out, size_t size);
