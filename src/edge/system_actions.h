// SPDX-License-Identifier: BSD-2-Clause
// What the helper asks of the system: the units (systemctl), the addresses
// and routes (ip), radvd's check of its configuration, the LAN's table
// (nft), IPv6 forwarding, and waiting for the tun interface. Every call is
// bounded in time: a DHCP client waits for its hooks.
#pragma once

#include <netinet/in.h>

#include <cstddef>

// "ferrin@<tun>.service", the tunnel's unit, and "ferrin-radvd@<tun>.service",
// the unit of its LAN's router advertisements.
void tunnel_unit(const char* tun, char* out, size_t size);
void radvd_unit(const char* tun, char* out, size_t size);

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
