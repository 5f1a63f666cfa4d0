// SPDX-License-Identifier: BSD-2-Clause
// The helper's events, each a few steps in a fixed order: the lease events
// that the DHCP clients' hooks send (up, down), and the unit's own (addr once
// the daemon has made its interface, stopped once it has ended). Each is
// called with the helper's lock held and returns the process's exit status.
//
// Every event compares the plan in force (the environment file) with the
// new one (from the lease and the settings, or none) and changes only what
// differs; the LAN's router advertisements, firewall and prefix history are
// made from the plan and the state of the tunnel (lan_apply).
#pragma once

// A lease with option 212 on uplink: words are the option's values as the
// client gives them.
int event_up(const char* settings_path, const char* uplink, const char* leased_v4,
             const char* const* words, int count);

// The lease on uplink ended or lost its option.
int event_down(const char* settings_path, const char* uplink);

// The daemon of tun has made its interface: its addresses and routes, and
// the LAN.
int event_addr(const char* settings_path, const char* tun);

// The unit of tun has stopped (SERVICE_RESULT as systemd gives it, null
// outside a unit).
int event_stopped(const char* settings_path, const char* tun, const char* service_result);

// A tunnel's name (from the unit's instance) is one the settings took; an
// uplink's is the kernel's, as the DHCP client passes it. 0, or -1 after
// logging.
int check_interface_argument(const char* name, bool tunnel);
