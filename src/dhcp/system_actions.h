// SPDX-License-Identifier: BSD-2-Clause
// What the helper asks of the system: the unit ferrin@TUN (systemctl), the
// addresses and routes (ip), and waiting for the tun interface. Every call is
// bounded in time: a DHCP client waits for its hooks.
#pragma once

// 1 when ferrin@tun is active, 0 otherwise (inactive, failed, starting or
// no systemd at all).
int unit_active(const char* tun);

// systemctl --no-block verb ferrin@tun, verb being start, restart or stop.
// 0, or -1 after logging.
int unit_command(const char* verb, const char* tun);

// ip -6 with the given arguments (null-terminated). When quiet, a failure is
// expected at times (deleting what may be gone already): ip's complaint is
// discarded and nothing is logged. 0, or -1 (after logging unless quiet).
int run_ip(const char* const* args, int quiet);

// Waits until the interface exists, at most seconds. 0, or -1 after logging.
int wait_for_interface(const char* name, int seconds);
