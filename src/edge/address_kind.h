// SPDX-License-Identifier: BSD-2-Clause
// What an address from a lease or the settings is, beyond its syntax: a rogue
// or broken DHCP server hands out well-formed addresses that no relay, no
// host and no 6rd domain can have. Pure; the callers word the refusal.
#pragma once

#include <netinet/in.h>

// Why addr cannot be a unicast address of a relay or of this host, as a
// phrase for a message ("a loopback address"); nullptr when it can be one.
// 240.0.0.0/4 passes, as in the daemon's own rules: Linux hosts and routers
// take such addresses.
const char* ipv4_unicast_problem(const in_addr& addr);

// Why prefix cannot be a 6rd prefix, whose sites get global unicast
// prefixes from it ("a multicast prefix"); nullptr when it can be one. The
// classes are those the daemon refuses as special IPv6 destinations. Reads
// the first 16 bits, which every 6rd prefix the daemon takes covers.
const char* sixrd_prefix_problem(const in6_addr& prefix);
