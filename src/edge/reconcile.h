// SPDX-License-Identifier: BSD-2-Clause
// What of the LAN a plan needs is missing. What is wanted comes from the
// plan, the state of the tunnel and the prefix history; what is in place is
// read back from the system (lan_apply does both), because it drifts: a
// link goes down and takes its address, a unit stops, a table is deleted,
// an event is killed half-way. Everything here is pure, and gives nothing
// to do when nothing is missing, so that putting things back, which the
// link watcher sees, never makes work of its own.
#pragma once

#include "edge/lease_plan.h"
#include "edge/prefix_history.h"

enum link_state { LINK_MISSING, LINK_DOWN, LINK_UP };  // as link_state() gives it

// The pieces of the LAN as they are, with what the texts wanted of them say.
struct lan_facts {
    int lan_link[max_lans];        // of each LAN of the plan, its interface
    int lan_address[max_lans];     // its ::1/64 is on it
    int unreachable;               // the unreachable route to the rest of the delegated prefix
    int stale_link[max_history];   // of each record of the history, its interface
    int stale_route[max_history];  // the route to a stale record's prefix
    int forwarding;                // 1 on, 0 off, -1 unknown
    int nft_installed;
    int table_wanted;              // the firewall's text puts a table in place (not only removes it)
    int table_current;             // the table's file holds the text wanted
    int table_loaded;
    int radvd_installed;
    int radvd_wanted;              // some interface has something to hear
    int radvd_current;             // radvd's configuration file holds the text wanted
    int radvd_active;
    int watcher_active;            // the unit that follows the LAN's links
};

// What to do, one flag a piece; all false when nothing is missing.
struct lan_repairs {
    bool lan_address[max_lans];
    bool lan_keep[max_lans];  // see that the interface keeps its addresses when it goes down
    bool unreachable;
    bool stale_route[max_history];
    bool table;         // load the text (which may remove the table)
    bool forwarding;    // turn IPv6 forwarding on
    bool radvd_config;  // write the configuration, then reload radvd (or start it, or stop it)
    bool radvd_start;   // the configuration is right, the unit does not run
    bool watcher;       // start the link watcher
};

// plan is null when there is no tunnel; with tunnel_up the LANs are routed.
// An interface that is missing gets nothing (there is nothing to put on
// it), and a route needs its interface up (the kernel takes none through a
// link that is down).
lan_repairs decide_repairs(const tunnel_plan* plan, int tunnel_up, const prefix_history& history,
                           const lan_facts& now);

// The plan's LANs that radvd can advertise on now: those whose interface is
// there with its address. One that is not is left out until it appears and
// has its address, so that no host on it is told of a router it can't
// reach.
tunnel_plan advertised_lans(const tunnel_plan& plan, const lan_facts& now);

// 1 when a route to prefix through dev is one of the history's stale
// records, the only routes of that metric the helper keeps.
int stale_route_wanted(const prefix_history& history, const char* prefix, const char* dev);
