// SPDX-License-Identifier: BSD-2-Clause
// The helper's settings file: which uplink feeds which tunnel, the daemon's
// options, the LAN interfaces with what their hosts are told, and an own IPv4
// address for hosts behind a NAT.
// "key = value" lines, "#" comments; a key left out keeps its default.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

// An interface name and its terminator (the kernel's IFNAMSIZ).
inline constexpr size_t interface_name_size = 16;

inline constexpr const char default_tunnel[] = "tun6rd0";
inline constexpr const char default_daemon_options[] = "-u ferrin -b 32";
inline constexpr uint64_t default_lan_subnet_id = 1;

// A router with more LAN interfaces than this is not a home edge; RDNSS
// carries three servers in one option.
inline constexpr int max_lans = 8;
inline constexpr int max_lan_dns = 3;
inline constexpr size_t lan_dns_text_size = max_lan_dns * 46;

struct lan_setting {
    char name[interface_name_size];
    uint64_t subnet_id;
    int explicit_id;  // 1 when given as name:id, else numbered from lan_subnet_id on
};

struct dhcp_settings {
    char uplink[interface_name_size];   // "" for any uplink
    char tunnel[interface_name_size];
    char daemon_options[128];
    lan_setting lans[max_lans];         // in the order given; none without a LAN
    int lan_count;
    uint64_t lan_subnet_id;             // the first implicit subnet id
    char lan_dns[lan_dns_text_size];    // IPv6 addresses, blank separated, "" for none
    int lan_firewall;                   // 1 unless lan_firewall = no
    char own_ipv4[16];                  // "" to use the leased address
};

// The defaults.
void default_settings(dhcp_settings* out);

// Fills out from the text of a settings file (name is used in messages).
// 0, or -1 after logging every bad line; out holds the defaults and the good
// lines either way.
int parse_settings(const char* text, const char* name, dhcp_settings* out);

// Reads the file at path; a missing file gives the defaults. 0, or -1 after logging.
int read_settings(const char* path, dhcp_settings* out);

// 1 when name can be an interface name here: 1 to 15 characters, none of them
// a blank, "/", a quote, "$", "\" or a control character, and not "." or "..".
// Such a name is safe in a file name and in the environment file; the
// uplink's, which the DHCP client takes from the kernel, is checked so.
int valid_interface_name(const char* name);

// 1 when name can be the tunnel's or the LAN interface's: 1 to 15 letters,
// digits and "-_.", not starting with "-", and not "." or "..". The tunnel's
// is the unit's instance, which systemd would otherwise escape, and a word of
// the daemon's command line, where a leading "-" is an option.
int valid_plain_interface_name(const char* name);

// 1 when radvd's configuration would read name as one of its own words (a
// keyword, a number), not as an interface: such a LAN name would make radvd
// refuse the whole configuration, and every LAN hear nothing.
int radvd_keyword(const char* name);

// The daemon options go into the unit's command line through the
// environment file: only what the daemon takes there, and only characters
// that need no quoting. nullptr when text is fine, otherwise why not.
const char* daemon_options_problem(const char* text);
