// SPDX-License-Identifier: BSD-2-Clause
// The order of the events' steps, and that an event cut short at any step
// (a command that fails, a kill) is finished by the next event of that
// tunnel: the steps run against a small model of what they change.
#include "edge/event_steps.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

std::string names(const event_situation& s)
{
    event_step steps[max_event_steps];
    const int count = event_steps(s, steps);
    std::string out;
    for (int i = 0; i < count; ++i)
        out += std::string(i ? ", " : "") + step_name(steps[i]);
    return out;
}

TEST(EventSteps, WhatIsRecordedComesAfterWhatItRecords)
{
    struct Case {
        event_situation situation;
        const char* expected;
    };
    const Case cases[] = {
        {{EVENT_UP, 1, UNIT_KEEP, 1},
         "put the tunnel's address and route, LAN: tunnel up, mark up"},
        {{EVENT_UP, 1, UNIT_READDRESS, 1},
         "put the tunnel's address and route, LAN: tunnel up, remove the old pieces, write the "
         "env file, mark up"},
        {{EVENT_UP, 0, UNIT_START, 1}, "write the env file, start the unit"},
        {{EVENT_UP, 1, UNIT_RESTART, 1},
         "remove the old pieces, write the env file, restart the unit"},
        {{EVENT_UP, -1, UNIT_RESTART, 1},
         "remove the history's pieces, write the env file, restart the unit"},
        {{EVENT_DOWN, 1, UNIT_KEEP, 1},
         "LAN: no plan, stop the unit, remove the old pieces, mark down, remove the env file"},
        {{EVENT_DOWN, -1, UNIT_KEEP, 1},
         "remove the history's pieces, LAN: no plan, stop the unit, mark down, remove the env "
         "file"},
        {{EVENT_DOWN, 0, UNIT_KEEP, 1}, ""},
        {{EVENT_ADDR, 1, UNIT_KEEP, 1},
         "put the tunnel's address and route, LAN: tunnel up, mark up"},
        {{EVENT_STOPPED, 1, UNIT_KEEP, 1}, "LAN: tunnel down, mark down"},
        {{EVENT_LINK, 1, UNIT_KEEP, 1}, "put the tunnel's address and route, LAN: tunnel up"},
        {{EVENT_RETIRE, 1, UNIT_KEEP, 0},
         "stop the unit, remove the old pieces, retire the LAN, mark down, remove the env file"},
        // The tunnel the settings name has taken the history's prefixes in
        // force: they are not the old tunnel's to remove.
        {{EVENT_RETIRE, 0, UNIT_KEEP, 0},
         "stop the unit, retire the LAN, mark down, remove the env file"},
        {{EVENT_REMOVE, 1, UNIT_KEEP, 1},
         "LAN: no plan, mark down, stop the units and wait, retire the LAN, remove the old "
         "pieces, remove the stale routes, remove the env file"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(names(c.situation), c.expected);
}

// What the steps change, as far as the order matters: the records, the
// unit, the LAN addresses, what the LAN hears. Plans are named "A" (lan0 in
// the first /64), "A5" (the same daemon, lan0 in another /64) and "B" (a new
// delegated prefix).
struct model {
    std::string env, up;            // the plan each holds, "" for none
    std::string unit;               // the daemon that runs ("A", "B"), "" for none
    std::set<std::string> addresses;  // the plans whose LAN address is in place
    std::string lan;                // "router X", "gone" or ""
    bool operator==(const model&) const = default;
};

std::string describe(const model& m)
{
    std::string a;
    for (const std::string& p : m.addresses)
        a += p + " ";
    return "env " + m.env + ", up " + m.up + ", unit " + m.unit + ", addresses " + a + ", lan " +
           m.lan;
}

bool same_daemon(const std::string& a, const std::string& b)
{
    return a.substr(0, 1) == b.substr(0, 1);
}

// The unit's action for the new plan, as decide_unit_action makes it from
// what event_up gives it: a tunnel that came up with another plan than the
// file's was not restarted for the file.
unit_action action_for(const model& m, const std::string& plan)
{
    if (m.unit.empty())
        return UNIT_START;
    if (m.env.empty() || !same_daemon(m.env, plan) || (!m.up.empty() && m.up != m.env))
        return UNIT_RESTART;
    return m.env == plan ? UNIT_KEEP : UNIT_READDRESS;
}

// Runs the steps, the one numbered fail and those after it not at all.
// Returns true when every step ran.
bool run(model* m, const event_situation& s, const std::string& plan, int fail)
{
    event_step steps[max_event_steps];
    const int count = event_steps(s, steps);
    const std::string old = m->env;
    for (int i = 0; i < count; ++i) {
        if (i == fail)
            return false;
        switch (steps[i]) {
        case STEP_REMOVE_HISTORY_PIECES: m->addresses.clear(); break;
        case STEP_LAN_NONE: m->lan = "gone"; break;
        case STEP_LAN_DOWN: m->lan = "gone"; break;
        case STEP_LAN_UP: m->addresses.insert(plan); m->lan = "router " + plan; break;
        case STEP_STOP_UNIT:
        case STEP_STOP_UNITS_NOW: m->unit.clear(); break;
        case STEP_REMOVE_OLD_PIECES:
            if (old != plan)
                m->addresses.erase(old);
            break;
        case STEP_REMOVE_STALE_ROUTES: break;
        case STEP_WRITE_ENV: m->env = plan; break;
        case STEP_START_UNIT:
        case STEP_RESTART_UNIT: m->unit = m->env.substr(0, 1); break;
        case STEP_PUT_TUNNEL: break;
        case STEP_RETIRE_LAN: m->lan.clear(); break;
        case STEP_MARK_UP: m->up = plan; break;
        case STEP_MARK_DOWN: m->up.clear(); break;
        case STEP_REMOVE_ENV: m->env.clear(); break;
        }
    }
    return true;
}

// A lease event for plan ("" for the end of the lease), as the helper takes
// it from the model; a unit started or restarted runs its addr step after.
bool lease(model* m, const std::string& plan, int fail = -1)
{
    const int found = m->env.empty() ? 0 : 1;
    const event_situation s = plan.empty()
                                  ? event_situation{EVENT_DOWN, found, UNIT_KEEP, 1}
                                  : event_situation{EVENT_UP, found, action_for(*m, plan), 1};
    const bool done = run(m, s, plan, fail);
    const bool started = !plan.empty() && (s.action == UNIT_START || s.action == UNIT_RESTART);
    if (started && !m->unit.empty() && same_daemon(m->unit, m->env))
        run(m, event_situation{EVENT_ADDR, 1, UNIT_KEEP, 1}, m->env, -1);
    return done;
}

TEST(EventSteps, AnEventCutShortIsFinishedByTheNextOne)
{
    struct Story {
        const char* what;
        const char* before;  // the plan in force, running, before the event
        const char* plan;    // the lease's plan, "" for its end
    };
    const Story stories[] = {
        {"a renewal", "A", "A"},
        {"new LAN settings", "A", "A5"},
        {"a new delegated prefix", "A", "B"},
        {"the first lease", "", "A"},
        {"the lease ends", "A", ""},
    };
    for (const Story& story : stories) {
        model start;
        if (story.before[0] != '\0')
            start = model{story.before, story.before, std::string(story.before, 1),
                          {story.before}, std::string("router ") + story.before};
        model clean = start;
        ASSERT_TRUE(lease(&clean, story.plan));
        // The same event twice changes nothing more.
        model twice = clean;
        lease(&twice, story.plan);
        EXPECT_EQ(twice, clean) << story.what << ": " << describe(twice);

        for (int fail = 0; fail < max_event_steps; ++fail) {
            model cut = start;
            if (lease(&cut, story.plan, fail))
                break;
            // The next event of the tunnel: the same lease again.
            lease(&cut, story.plan);
            EXPECT_EQ(cut, clean) << story.what << ", cut short at step " << fail << ": "
                                  << describe(cut) << " instead of " << describe(clean);
        }
    }
}

}  // namespace
