// SPDX-License-Identifier: BSD-2-Clause
#include "edge/event_steps.h"

namespace {

struct step_list {
    event_step* out;
    int count;
};

void add(step_list* list, event_step step)
{
    if (list->count < max_event_steps)
        list->out[list->count++] = step;
}

// What the old plan put on the LAN: from the file, or, when it is damaged,
// from the history's prefixes in force, while they are still this tunnel's
// (these go before anything turns them stale). Without a file there is
// nothing: the last step of every event that removes pieces removes it.
void remove_old(step_list* list, const event_situation& s)
{
    if (s.found == 1)
        add(list, STEP_REMOVE_OLD_PIECES);
    else if (s.found == -1 && s.history_ours)
        add(list, STEP_REMOVE_HISTORY_PIECES);
}

}  // namespace

int event_steps(const event_situation& s, event_step out[max_event_steps])
{
    step_list list{out, 0};
    switch (s.kind) {
    case EVENT_UP:
        if (s.action == UNIT_KEEP) {
            // Nothing new: what drifted is put back, and an addr step that
            // never finished is finished here.
            add(&list, STEP_PUT_TUNNEL);
            add(&list, STEP_LAN_UP);
            add(&list, STEP_MARK_UP);
        } else if (s.action == UNIT_READDRESS) {
            // The new pieces first, the old ones after; the file last, so
            // that until it is written the next lease does all of it again.
            add(&list, STEP_PUT_TUNNEL);
            add(&list, STEP_LAN_UP);
            add(&list, STEP_REMOVE_OLD_PIECES);
            add(&list, STEP_WRITE_ENV);
            add(&list, STEP_MARK_UP);
        } else {
            // The unit reads the file as it starts: written first, it is the
            // intent, and a unit that did not start is started by the next
            // lease. The unit's addr step does the rest.
            remove_old(&list, s);
            add(&list, STEP_WRITE_ENV);
            add(&list, s.action == UNIT_START ? STEP_START_UNIT : STEP_RESTART_UNIT);
        }
        break;
    case EVENT_DOWN:
        if (s.found == 0)
            break;
        // The hosts hear that the router is gone while it still routes;
        // the file goes last, so that a down cut short is done again.
        if (s.found == -1)
            remove_old(&list, s);
        add(&list, STEP_LAN_NONE);
        add(&list, STEP_STOP_UNIT);
        if (s.found == 1)
            remove_old(&list, s);
        add(&list, STEP_MARK_DOWN);
        add(&list, STEP_REMOVE_ENV);
        break;
    case EVENT_ADDR:
        if (s.found != 1)
            break;
        add(&list, STEP_PUT_TUNNEL);
        add(&list, STEP_LAN_UP);
        add(&list, STEP_MARK_UP);
        break;
    case EVENT_STOPPED:
        if (s.found != 1)
            break;
        add(&list, STEP_LAN_DOWN);
        add(&list, STEP_MARK_DOWN);
        break;
    case EVENT_LINK:
        if (s.found != 1)
            break;
        add(&list, STEP_PUT_TUNNEL);
        add(&list, STEP_LAN_UP);
        break;
    case EVENT_RETIRE:
        // Whatever is left of the tunnel is found again from its files
        // until the last, its environment file, is gone.
        add(&list, STEP_STOP_UNIT);
        remove_old(&list, s);
        add(&list, STEP_RETIRE_LAN);
        add(&list, STEP_MARK_DOWN);
        add(&list, STEP_REMOVE_ENV);
        break;
    case EVENT_REMOVE:
        // The hosts hear that the router is gone before anything stops;
        // the up file goes before the units, whose stop then finds nothing
        // to tell and nothing restarts radvd.
        if (s.found != 1)
            remove_old(&list, s);
        add(&list, STEP_LAN_NONE);
        add(&list, STEP_MARK_DOWN);
        add(&list, STEP_STOP_UNITS_NOW);
        add(&list, STEP_RETIRE_LAN);
        if (s.found == 1)
            remove_old(&list, s);
        add(&list, STEP_REMOVE_STALE_ROUTES);
        add(&list, STEP_REMOVE_ENV);
        break;
    }
    return list.count;
}

const char* step_name(event_step step)
{
    switch (step) {
    case STEP_REMOVE_HISTORY_PIECES: return "remove the history's pieces";
    case STEP_LAN_NONE: return "LAN: no plan";
    case STEP_LAN_DOWN: return "LAN: tunnel down";
    case STEP_LAN_UP: return "LAN: tunnel up";
    case STEP_STOP_UNIT: return "stop the unit";
    case STEP_STOP_UNITS_NOW: return "stop the units and wait";
    case STEP_REMOVE_OLD_PIECES: return "remove the old pieces";
    case STEP_REMOVE_STALE_ROUTES: return "remove the stale routes";
    case STEP_WRITE_ENV: return "write the env file";
    case STEP_START_UNIT: return "start the unit";
    case STEP_RESTART_UNIT: return "restart the unit";
    case STEP_PUT_TUNNEL: return "put the tunnel's address and route";
    case STEP_RETIRE_LAN: return "retire the LAN";
    case STEP_MARK_UP: return "mark up";
    case STEP_MARK_DOWN: return "mark down";
    case STEP_REMOVE_ENV: return "remove the env file";
    }
    return "?";
}
