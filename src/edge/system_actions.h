// SPDX-License-Identifier: BSD-2-Clause
// What the helper asks of the system: the units (systemctl), the addresses
// and routes (ip), radvd's check of its configuration, the LAN's table
// (nft), IPv6 forwarding, and waiting for the tun interface. Every call is
// bounded in time: a DHCP client waits for its hooks.
#pragma once

#include <netinet/in.h>

#include <cstddef>

// Seconds on the clock no one sets (CLOCK_MONOTONIC), for deadlines: a wall
// clock stepped forward would end a wait at once.
double monotonic_seconds();

// "ferrin@<tun>.service", the tunnel's unit, and "ferrin-radvd@<tun>.service",
// the unit of its LAN's router advertisements.
void tunnel_unit(const char* tun, char* out, size_t size);
void radvd_unit(const char* tun, char* out, size_t size);
// "ferrin-lan@<tun>.service": the link watcher of its LAN.
void watch_unit(const char* tun, char* out, size_t size);

// 1 when the unit is active, 0 otherwise (inactive, failed, starting or
// no systemd at all).
int unit_active(const char* unit);

// systemctl --no-block verb unit, verb being start, restart, reload or stop.
// 0, or -1 after logging.
int unit_command(const char* verb, const char* unit);

// systemctl kill of the unit's main process with the signal (a name, "HUP").
// 0, or -1 after logging.
int unit_signal(const char* unit, const char* signal);

// ip -6 with the given arguments (null-terminated). When quiet, a failure is
// expected at times (deleting what may be gone already): ip's complaint is
// discarded and nothing is logged. 0, or -1 (after logging unless quiet).
int run_ip(const char* const* args, int quiet);

// Waits until the interface exists, at most seconds. 0, or -1 after logging.
int wait_for_interface(const char* name, int seconds);

// 1 when program is found in PATH, 0 otherwise.
int program_installed(const char* program);

// radvd -c on the file: 0 when radvd takes it, -1 after logging.
int check_radvd_config(const char* path);

// nft -f on the file. 0, or -1 after logging (with nft's own message).
int load_nft_file(const char* path);

// nft -c -f: whether nft would take the file, nothing loaded. 0, or -1
// after logging nft's message, which names the file and line it refuses.
int check_nft_file(const char* path);

// The broadcast address of the subnet that the IPv4 address has on
// interface: 1 with it in out, 0 when the interface has no such address or
// the subnet none (/31, /32).
int subnet_broadcast(const char* interface, const in_addr& address, in_addr* out);

// Turns IPv6 forwarding on for every interface: 1 when it was off, 0 when
// it was on already, -1 after logging.
int turn_on_forwarding();

// 1 when IPv6 forwarding is on, 0 when off, -1 when it can't be read.
int forwarding_on();

// Runs argv and puts what it writes on standard output into out (cut to
// size, terminated). Its exit status, or -1 after logging.
int run_capture(const char* const* argv, char* out, size_t size);

// What is in place, read back, so that an event can put back what is missing.

// 0 when there is no interface of that name, 1 when it is there but down, 2
// when it is up.
int link_state(const char* name);

// 1 when the interface has the IPv6 address ("2001:db8::1/64", length
// included), 0 when not or when there is no such interface.
int address_in_place(const char* dev, const char* address);

// 1 when a route to prefix ("default" for the default route) is in place
// whose line in ip -6 route holds the words of how ("dev tun6rd0",
// "unreachable"), 0 otherwise.
int route_in_place(const char* prefix, const char* how);

// The routes in place through some interface with the given metric: the
// prefixes and interfaces of at most max, in order; their count.
int routes_with_metric(const char* metric, char (*prefixes)[64], char (*devs)[16], int max);

// 1 when the nftables table "ip6 name" is loaded, 0 when not (or nft can't say).
int table_loaded(const char* name);

// Sets the interface's keep_addr_on_down, so that a link going down keeps
// its static addresses: 1 when it was set now, 0 when it was set already or
// can't be (a read-only /proc/sys).
int keep_addresses_on_down(const char* dev);

// systemctl stop, waiting until the unit has stopped (at most the bound of
// every command). 0, or -1 after logging.
int unit_stop_and_wait(const char* unit);

// 1 when systemd is restarting the unit (a restart job for it is queued or
// running), 0 otherwise.
int unit_restarting(const char* unit);

// Runs this program again with args (null-terminated) and waits for it, at
// most the bound of every command. Its exit status, or -1 after logging.
int run_self(const char* const* args);
