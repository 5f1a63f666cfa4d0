// SPDX-License-Identifier: BSD-2-Clause
// The steps of each event of the helper, in the order they run. The order
// is the whole point: what an event records (the environment file, the up
// file) is written after what it changed, or, where the unit needs the
// record to start, first, as the intent that the next event finishes. An
// event stops at the first step that fails, and the next event of that
// tunnel, finding the old record or the intent, does every step again;
// every step is safe to repeat. Pure; events.cpp runs them.
#pragma once

#include "edge/lease_plan.h"

enum event_step {
    STEP_REMOVE_HISTORY_PIECES,  // the LAN addresses of the history's prefixes in force
    STEP_LAN_NONE,               // the LAN without a plan: its prefixes stale, no router
    STEP_LAN_DOWN,               // the LAN with the plan, the tunnel down: no router
    STEP_LAN_UP,                 // the LAN with the plan, the tunnel up: this host its router
    STEP_STOP_UNIT,              // the tunnel's unit and its link watcher, without waiting
    STEP_STOP_UNITS_NOW,         // the tunnel's, the watcher's and radvd's units, waited for
    STEP_REMOVE_OLD_PIECES,      // the old plan's LAN addresses and route the new one has not
    STEP_REMOVE_STALE_ROUTES,    // every route the helper made to a stale prefix
    STEP_WRITE_ENV,              // the new plan, which the unit reads as it starts
    STEP_START_UNIT,
    STEP_RESTART_UNIT,
    STEP_PUT_TUNNEL,             // the tun interface's address and default route
    STEP_RETIRE_LAN,             // radvd, the table and the watcher of the tunnel
    STEP_MARK_UP,                // the up file: the tunnel came up with this plan
    STEP_MARK_DOWN,
    STEP_REMOVE_ENV,
};

enum event_kind {
    EVENT_UP,       // a lease the settings take, with a usable option
    EVENT_DOWN,     // the lease ended, or its option is not usable
    EVENT_ADDR,     // the unit has started the daemon
    EVENT_STOPPED,  // the unit was stopped
    EVENT_LINK,     // a LAN link changed (the watcher)
    EVENT_RETIRE,   // the tunnel is one the settings no longer name
    EVENT_REMOVE,   // the package is removed
};

struct event_situation {
    event_kind kind;
    int found;           // the tunnel's environment file: 1 read, 0 none, -1 damaged
    unit_action action;  // EVENT_UP: what the lease asks of the unit
    int history_ours;    // the history's prefixes in force are this tunnel's
};

inline constexpr int max_event_steps = 12;

// The steps, in order, into out; their count.
int event_steps(const event_situation& situation, event_step out[max_event_steps]);

// The step's name, for messages and tests.
const char* step_name(event_step step);
