// SPDX-License-Identifier: BSD-2-Clause
// From a DHCP lease's 6rd option (code 212: IPv4MaskLen, 6rdPrefixLen,
// 6rdPrefix, 6rdBRIPv4Address...) to what the tunnel needs: the daemon's
// arguments, the delegated prefix and the addresses that go on the tun and
// LAN interfaces. Everything here is pure; the refusals log one line each.
#pragma once

#include "edge/settings.h"

#include <netinet/in.h>

#include <cstddef>

// The option as the DHCP client handed it over, checked against the lengths
// the daemon takes (mapping/prefix.h), so that no tunnel is started only to
// fail.
struct sixrd_option {
    int mask_len;        // IPv4MaskLen: the -r value, 0 to 31
    int prefix_len;      // 6rdPrefixLen
    in6_addr prefix;     // 6rdPrefix, the bits after prefix_len cleared
    in_addr relay;       // the first 6rdBRIPv4Address; the daemon uses one relay
    int relay_count;
};

// Reads the option from words as the clients give them: dhclient's
// "0 32 2001:db8:: 203.0.113.1", dhcpcd's four variables, udhcpc's text with
// the prefix written out in full. Words may hold several values separated by
// blanks or commas. source names the lease in messages (the uplink).
// 0, or -1 after logging the first bad value: one out of range, not an
// address, or an address of a class no relay or 6rd prefix can have.
int parse_sixrd_option(const char* const* words, int count, const char* source, sixrd_option* out);

// Text sizes of a plan's fields.
inline constexpr size_t address_text_size = 64;   // an IPv6 address, "/", a length
inline constexpr size_t options_text_size = 160;  // daemon options and " -r NN"

// One LAN interface's share of the delegated prefix.
struct lan_plan {
    char name[interface_name_size];
    char address[address_text_size];  // the edge's own: ::1 in the /64, "/64"
    char prefix[address_text_size];   // the /64 its hosts take their addresses from
};

// Everything the unit, the addr step and a later down need, as text: these
// are the fields of the tunnel's environment file.
struct tunnel_plan {
    char prefix[address_text_size];      // FERRIN_PREFIX: "2001:db8::/32"
    char relay[address_text_size];       // FERRIN_RELAY
    char my_v4[address_text_size];       // FERRIN_MY_V4
    char options[options_text_size];     // FERRIN_OPTS: the settings' options, then -r
    char uplink[interface_name_size];    // FERRIN_UPLINK: the interface the lease came from
    char delegated[address_text_size];   // FERRIN_DELEGATED: "2001:db8:c000:20a::/64"
    char tun_address[address_text_size]; // FERRIN_TUN_ADDRESS: delegated ::1 with the 6rd prefix length
    lan_plan lans[max_lans];             // FERRIN_LAN and FERRIN_LAN_ADDRESS, as lists
    int lan_count;
    char unreachable[address_text_size]; // FERRIN_UNREACHABLE: the delegated prefix when it is
                                         // shorter than /64 and LANs take /64s of it; else ""
    char lan_dns[lan_dns_text_size];     // FERRIN_LAN_DNS: what the hosts are told as RDNSS
    int lan_firewall;                    // FERRIN_LAN_FIREWALL: yes or no
};

// The /64 of a LAN address ("2001:db8:2:101::1/64" gives "2001:db8:2:101::/64").
void lan_prefix_of(const char* address, char* out, size_t size);

// Computes the plan for the leased address (or the settings' own_ipv4) and a
// checked option. 0, or -1 after logging (the leased address is not a host's
// IPv4 address, or the relay is this host). A LAN subnet id that does not fit
// is logged and leaves that LAN out, as does a LAN named as the lease's
// uplink; a /64 delegated prefix serves the first LAN only.
int plan_tunnel(const sixrd_option& option, const char* leased_v4, const char* uplink,
                const dhcp_settings& settings, tunnel_plan* out);

// The relay or the leased address is the broadcast address of the uplink's
// subnet (as the interface has it): -1 after logging which, else 0.
int refuse_broadcast(const tunnel_plan& plan, const char* leased_v4, const in_addr& broadcast,
                     const char* uplink);

// 1 when the two plans start the daemon with the same command line.
int same_daemon(const tunnel_plan& a, const tunnel_plan& b);

// 1 when the two plans put the same addresses and routes in place and tell
// the LAN the same.
int same_addresses(const tunnel_plan& a, const tunnel_plan& b);

// What a lease asks of the unit, given the plan of the tunnel as it stands.
enum unit_action {
    UNIT_KEEP,       // same values and the unit runs: nothing at all
    UNIT_START,      // the unit does not run: start it
    UNIT_RESTART,    // the daemon's command line changed
    UNIT_READDRESS,  // only addresses changed: the daemon runs on, addresses are redone
};

// old_plan is null when no tunnel was planned before.
unit_action decide_unit_action(const tunnel_plan* old_plan, const tunnel_plan& new_plan,
                               int unit_active);
