// SPDX-License-Identifier: BSD-2-Clause
// The helper's events, each a few steps in a fixed order (event_steps): the
// lease events that the DHCP clients' hooks send (up, down), the unit's own
// (addr once the daemon has made its interface, stopped once it has ended),
// a LAN link that changed, and the package's removal. Each is called with
// the helper's lock held and returns the process's exit status.
//
// Every event compares the plan in force (the environment file) with the
// new one (from the lease and the settings, or none) and changes only what
// differs; the LAN's router advertisements, firewall and prefix history are
// made from the plan and the state of the tunnel (lan_apply).
#pragma once

#include "edge/lease_record.h"

// A lease with option 212 on uplink: words are the option's values as the
// client gives them; given, what the client says of the lease.
int event_up(const char* settings_path, const char* uplink, const char* leased_v4,
             const char* const* words, int count, const lease_record& given);

// The lease on uplink ended or lost its option.
int event_down(const char* settings_path, const char* uplink, const lease_record& given);

// The daemon of tun has made its interface: its addresses and routes, and
// the LAN.
int event_addr(const char* settings_path, const char* tun);

// 1 when the stop of the unit of tun (SERVICE_RESULT as systemd gives it,
// null outside a unit) is the router going: a clean stop, not a crash or a
// restart, of the tunnel as it came up. Read without the lock, so that the
// stop that removes the package (which holds it) is not held by it.
int stop_tells_lan(const char* tun, const char* service_result);

// The unit of tun has stopped: the LAN hears that the router is gone.
int event_stopped(const char* settings_path, const char* tun);

// A LAN link of tun changed (the link watcher): what is missing is put back.
int event_link(const char* settings_path, const char* tun);

// The package is removed: for every tunnel the helper made, the LAN hears
// that the router is gone, its units stop for good, and what it put in
// place goes. The prefix history stays (a purge removes it).
int event_remove(const char* settings_path);

// A tunnel's name (from the unit's instance) is one the settings took; an
// uplink's is the kernel's, as the DHCP client passes it. 0, or -1 after
// logging.
int check_interface_argument(const char* name, bool tunnel);
