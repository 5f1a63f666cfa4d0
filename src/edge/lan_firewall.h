// SPDX-License-Identifier: BSD-2-Clause
// The LAN's firewall: the text of an nftables table of ferrin-6rd's own, a
// pure function of the plan and the prefix history. The text replaces the
// whole table in one step, so it stands beside the operator's ruleset and
// never leaves half a table behind.
#pragma once

#include "edge/lease_plan.h"
#include "edge/prefix_history.h"

#include <cstddef>
#include <string>

inline constexpr size_t firewall_text_size = 16384;

// "ferrin-<tun>", the table's name in the ip6 family.
void firewall_table_name(const char* tun, char* out, size_t size);

// The include pattern of the operator's rules for the edge itself, beside
// that of the rules for the LAN: ".../lan-firewall.d/*.nft" gives
// ".../edge-firewall.d/*.nft".
void edge_exceptions_pattern(const char* lan_pattern, char* out, size_t size);

// The operator's rules the table includes: nft include targets (files or
// patterns), one a line; "" for none.
struct firewall_includes {
    const char* lan;   // in the chain from the tunnel to the LAN
    const char* edge;  // in the chain from the tunnel to this host
};

// From the tunnel to the LAN only what the LAN asked for passes (with the
// ICMPv6 that must not be dropped, IPsec, and the operator's own LAN rules),
// unless the plan turns the firewall off; so it does to every interface
// the history names too, where a stale prefix still has its route. From
// the tunnel to this host itself only what it asked for passes, with the
// ICMPv6 a node must accept and the operator's own edge rules. From the LAN
// everything passes, TCP SYNs into the tunnel with their MSS clamped to its
// MTU; a host sending from a stale prefix is told so (ICMPv6 destination
// unreachable, source address failed policy). Without a plan (no tunnel)
// the shield stays up. Returns 1 with the text that puts the table in
// place, 0 with the text that removes it, when there is no LAN and nothing
// is stale, or -1 with "" when the text does not fit in size bytes.
int firewall_text(const tunnel_plan* plan, const prefix_history& history, const char* tun,
                  const firewall_includes& includes, char* out, size_t size);

// 1 when text (an operator's rules) names an address in a stale prefix of
// the history, with the first such address and its prefix: a rule written
// for one host's address no longer matches it after a renumbering.
int stale_address_in(const char* text, const prefix_history& history, std::string* address,
                     std::string* prefix);
