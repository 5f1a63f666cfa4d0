// SPDX-License-Identifier: BSD-2-Clause
// The fixed rules on which addresses the tunnel carries traffic for.
// Both answer 1 to reject and 0 to accept.
#pragma once

#include <netinet/in.h>

// Judges an IPv4 address rebuilt from an IPv6 address inside the 6rd prefix.
int reject_v4_address(const in_addr* addr);

// Judges an IPv6 address outside the 6rd prefix; reads its first two bytes only.
int reject_v6_address(const in6_addr* addr);
