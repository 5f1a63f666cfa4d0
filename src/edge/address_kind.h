// SPDX-License-Identifier: BSD-2-Clause
// What an address from a lease or the settings is, beyond its syntax: a rogue
// or broken DHCP server hands out well-formed addresses that no relay, no
// host and no 6rd domain can have. Pure; the callers word the refusal.
#pragma once

#include <netinet/in.h>

// Why addr cannot be a unicast address of a relay or of this host in a 6rd
// domain, as a phrase for a message ("a loopback address"); nullptr when it
// can be one. Stricter than the daemon's own rules, which take what Linux
// takes: the ISP's network routes neither 240.0.0.0/4 nor 169.254.0.0/16.
const char* ipv4_unicast_problem(const in_addr& addr);

// Why prefix cannot be a 6rd prefix, whose sites get global unicast
// prefixes from it ("a multicast prefix"); nullptr when it can be one. The
// classes are those the daemon refuses as special IPv6 destinations. Reads
// the first 16 bits, which every 6rd prefix the daemon takes covers.
const char* sixrd_prefix_problem(const in6_addr& prefix);

// Why addr cannot be a global or unique local unicast address, the kind a
// DNS server for the LAN's hosts needs ("a link-local address"); nullptr
// when it is one.
const char* ipv6_unicast_problem(const in6_addr& addr);

// 1 when text is an IPv6 address exactly as inet_ntop writes it, followed by
// "/" and a length of 0 to 128 when with_length (as "2001:db8::1/64"), with
// the address (and length) in out; 0 otherwise. What the helper reads back
// from its own files must be what it wrote.
int normal_ipv6_text(const char* text, int with_length, in6_addr* out, int* length);

// The same for an IPv4 address ("192.0.2.1").
int normal_ipv4_text(const char* text, in_addr* out);
