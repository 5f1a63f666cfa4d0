// SPDX-License-Identifier: BSD-2-Clause
#include "edge/events.h"

#include "edge/domain_warning.h"
#include "edge/env_file.h"
#include "edge/event_steps.h"
#include "edge/lan_apply.h"
#include "edge/lease_plan.h"
#include "edge/lease_record.h"
#include "edge/settings.h"
#include "edge/system_actions.h"
#include "edge/text.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <syslog.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <string>

namespace {

// The daemon makes its interface within milliseconds of its start.
constexpr int interface_wait_seconds = 10;

// The relay or the leased address is the broadcast address of the subnet
// the uplink has the lease's address in.
bool on_uplink_broadcast(const tunnel_plan& plan, const char* leased_v4, const char* uplink)
{
    in_addr leased, broadcast;
    return inet_pton(AF_INET, leased_v4, &leased) == 1 &&
           subnet_broadcast(uplink, leased, &broadcast) == 1 &&
           refuse_broadcast(plan, leased_v4, broadcast, uplink) == -1;
}

// The tunnel as the last event left it.
struct tunnel_state {
    int found;  // 1 with the plan, 0 without a file, -1 for one that can't be read whole
    tunnel_plan plan;
    char text[env_text_size];
};

void read_state(const char* tun, tunnel_state* out)
{
    out->found = read_env(tun, &out->plan, out->text, sizeof out->text);
}

// The up file against text: 1 when the tunnel came up with that plan, 0
// when with another, -1 without a file (or one that can't be read).
int up_with(const char* tun, const char* text)
{
    char path[128];
    static char up_text[env_text_size];
    up_path(tun, path, sizeof path);
    if (read_text_file(path, up_text, sizeof up_text) != 1)
        return -1;
    return std::strcmp(up_text, text) == 0 ? 1 : 0;
}

bool came_up_with(const char* tun, const char* text)
{
    return up_with(tun, text) == 1;
}

bool has_lan(const tunnel_plan* plan, const lan_plan& lan)
{
    for (int i = 0; plan != nullptr && i < plan->lan_count; ++i)
        if (std::strcmp(plan->lans[i].name, lan.name) == 0 &&
            std::strcmp(plan->lans[i].address, lan.address) == 0)
            return true;
    return false;
}

// Removes what a plan put in place outside the tun interface (whose addresses
// and routes go with the daemon), where the new plan (if any) does not put
// the same back. Missing pieces are fine: a step may run any number of
// times. -1 after logging when an address is still there: the record that
// names it must stay for the next event.
int remove_lan_pieces(const tunnel_plan& old_plan, const tunnel_plan* new_plan)
{
    int result = 0;
    for (int i = 0; i < old_plan.lan_count; ++i) {
        const lan_plan& lan = old_plan.lans[i];
        if (has_lan(new_plan, lan))
            continue;
        const char* args[] = {"addr", "del", lan.address, "dev", lan.name, nullptr};
        run_ip(args, 1);
        if (address_in_place(lan.name, lan.address)) {
            syslog(LOG_ERR, "%s: the address %s could not be removed", lan.name, lan.address);
            result = -1;
        }
    }
    if (old_plan.unreachable[0] != '\0' &&
        (new_plan == nullptr || std::strcmp(old_plan.unreachable, new_plan->unreachable) != 0)) {
        const char* args[] = {"route", "del", "unreachable", old_plan.unreachable, nullptr};
        run_ip(args, 1);
    }
    return result;
}

// A damaged file names no LAN: the prefixes in force in the history tell
// which addresses this helper put on which interface.
tunnel_plan history_pieces()
{
    const prefix_history history = read_history();
    tunnel_plan made{};
    for (int i = 0; i < history.count && made.lan_count < max_lans; ++i) {
        const prefix_record& r = history.records[i];
        if (r.stale_until != 0)
            continue;
        lan_plan& lan = made.lans[made.lan_count++];
        copy_text(lan.name, sizeof lan.name, r.lan);
        std::string address(r.prefix);
        address = address.substr(0, address.find('/')) + "1/64";
        copy_text(lan.address, sizeof lan.address, address.c_str());
    }
    return made;
}

// The tun interface's address and default route, each put in place when it
// is missing. With wait, the interface is waited for (the unit's addr step,
// right after the daemon's start); without, a tunnel without its interface
// yet is left to that step. Routing the whole domain on-link needs nothing
// else. 0, or -1 after logging.
int put_tunnel(const tunnel_plan& plan, const char* tun, bool wait, std::string* done)
{
    if (wait ? wait_for_interface(tun, interface_wait_seconds) == -1 : link_state(tun) == 0)
        return wait ? -1 : 0;
    const std::string dev = std::string("dev ") + tun;
    if (!address_in_place(tun, plan.tun_address)) {
        // The tun interface has no link layer and no neighbours: nothing to detect.
        const char* address[] = {"addr", "replace", plan.tun_address, "dev", tun, "nodad", nullptr};
        if (run_ip(address, 0) == -1)
            return -1;
        if (!wait)
            add_to_list(done, std::string("the address ") + plan.tun_address + " on " + tun);
    }
    if (!route_in_place("default", dev.c_str())) {
        const char* route[] = {"route", "replace", "default", "dev", tun, nullptr};
        if (run_ip(route, 0) == -1)
            return -1;
        if (!wait)
            add_to_list(done, std::string("the default route into ") + tun);
    }
    if (wait)
        syslog(LOG_INFO, "%s: address %s and the default route in place", tun, plan.tun_address);
    return 0;
}

// What an event works on.
struct event_context {
    const char* tun;
    const tunnel_state* state;    // the tunnel as the last event left it
    const tunnel_plan* plan;      // the new plan (the old one for the unit's own events)
    const char* text;             // its file's text
    const char* why;              // why a tunnel stops, for the log
    std::string exceptions;       // the firewall's include pattern
    bool unit_start;              // the unit's addr step: all of it is put in place anew
    std::string put_back = "";    // what was missing and is in place again
    int history_stored = 1;       // 0 when the prefix history could not be stored
    bool lan_put = false;         // the new plan's LAN was put in place by this event
};

int lan(event_context* c, const tunnel_plan* plan, int tunnel_up)
{
    std::string done;
    // Only a repair says what it put back; the table is loaded again at a
    // start, as the operator's files may have changed.
    if (apply_lan(c->tun, plan, tunnel_up, c->exceptions.c_str(), c->unit_start,
                  c->unit_start ? nullptr : &done) == -1)
        c->history_stored = 0;
    if (!done.empty())
        add_to_list(&c->put_back, done);
    c->lan_put = tunnel_up && plan != nullptr;
    return 0;
}

int stop_units(const char* tun, bool now)
{
    char unit[64], watcher[64], radvd[64];
    tunnel_unit(tun, unit, sizeof unit);
    watch_unit(tun, watcher, sizeof watcher);
    radvd_unit(tun, radvd, sizeof radvd);
    if (!now)
        return unit_command("stop", watcher) == 0 && unit_command("stop", unit) == 0 ? 0 : -1;
    // The watcher first, so that nothing answers the links the stop changes.
    for (const char* u : {watcher, unit, radvd})
        if (unit_stop_and_wait(u) == -1)
            return -1;
    return 0;
}

int write_up(const char* tun, const char* text)
{
    char path[128];
    up_path(tun, path, sizeof path);
    return text != nullptr ? replace_file(path, text, 0) : remove_file(path);
}

// Where the event put the new plan's pieces in place first, the old plan's
// go only once they are there: else the file, written after, would name
// addresses that are not in place, and the old ones would be gone. An
// interface that is not there has nothing to be in place.
bool new_pieces_in_place(const event_context* c)
{
    for (int i = 0; c->plan != nullptr && i < c->plan->lan_count; ++i) {
        const lan_plan& lan = c->plan->lans[i];
        if (link_state(lan.name) != 0 && !address_in_place(lan.name, lan.address)) {
            syslog(LOG_ERR, "%s: the address %s is not in place; the old plan's stay", lan.name,
                   lan.address);
            return false;
        }
    }
    return true;
}

// One step; 0, or -1 after logging when the event must stop here.
int run_step(event_step step, event_context* c)
{
    const tunnel_state& s = *c->state;
    char unit[64];
    tunnel_unit(c->tun, unit, sizeof unit);
    switch (step) {
    case STEP_REMOVE_HISTORY_PIECES: {
        static tunnel_plan made;
        made = history_pieces();
        return remove_lan_pieces(made, nullptr);
    }
    case STEP_LAN_NONE:
        return lan(c, nullptr, 0);
    case STEP_LAN_DOWN:
        return lan(c, c->plan, 0);
    case STEP_LAN_UP:
        return lan(c, c->plan, 1);
    case STEP_STOP_UNIT:
        syslog(LOG_NOTICE, "ferrin@%s: stopping: %s", c->tun, c->why);
        return stop_units(c->tun, false);
    case STEP_STOP_UNITS_NOW:
        syslog(LOG_NOTICE, "ferrin@%s: stopping: %s", c->tun, c->why);
        return stop_units(c->tun, true);
    case STEP_REMOVE_OLD_PIECES:
        if (s.found != 1)
            return 0;
        return !c->lan_put || new_pieces_in_place(c) ? remove_lan_pieces(s.plan, c->plan) : -1;
    case STEP_REMOVE_STALE_ROUTES:
        remove_stale_routes();
        return 0;
    case STEP_WRITE_ENV:
        return s.found == 1 && std::strcmp(s.text, c->text) == 0 ? 0 : write_env(c->tun, c->text);
    case STEP_START_UNIT:
        return unit_command("start", unit);
    case STEP_RESTART_UNIT:
        return unit_command("restart", unit);
    case STEP_PUT_TUNNEL:
        return put_tunnel(*c->plan, c->tun, c->unit_start, &c->put_back);
    case STEP_RETIRE_LAN: {
        retire_lan(c->tun);
        // Status tells of a lease that ended, not of a tunnel retired.
        char path[128];
        lease_record_path(c->tun, path, sizeof path);
        return remove_file(path);
    }
    case STEP_MARK_UP:
        return came_up_with(c->tun, c->text) ? 0 : write_up(c->tun, c->text);
    case STEP_MARK_DOWN:
        return write_up(c->tun, nullptr);
    case STEP_REMOVE_ENV:
        return remove_env(c->tun);
    }
    return 0;
}

// The steps of the event in order, stopping at the first that fails. The
// exit status: 1 when one failed or the history could not be stored.
int run_event(const event_situation& situation, event_context* c)
{
    event_step steps[max_event_steps];
    const int count = event_steps(situation, steps);
    for (int i = 0; i < count; ++i)
        if (run_step(steps[i], c) == -1) {
            syslog(LOG_ERR, "ferrin@%s: cut short at \"%s\"; the next event of the tunnel "
                            "does it again", c->tun, step_name(steps[i]));
            return 1;
        }
    return c->history_stored ? 0 : 1;
}

// Adds to out (at most max, count so far) the tunnels that have a file
// named <tun><suffix> in folder; the new count.
int tunnels_in(const char* folder, const std::initializer_list<const char*>& suffixes,
               char (*out)[interface_name_size], int max, int count)
{
    DIR* dir = opendir(folder);
    if (dir == nullptr)
        return count;
    while (const dirent* entry = readdir(dir)) {
        const std::string name(entry->d_name);
        for (const char* suffix : suffixes) {
            const size_t length = std::strlen(suffix);
            if (name.size() <= length || name.compare(name.size() - length, length, suffix) != 0)
                continue;
            const std::string tun = name.substr(0, name.size() - length);
            bool known = false;
            for (int i = 0; i < count; ++i)
                known = known || tun == out[i];
            if (!known && count < max && valid_plain_interface_name(tun.c_str()))
                copy_text(out[count++], interface_name_size, tun.c_str());
            break;
        }
    }
    closedir(dir);
    return count;
}

// The tunnels of which something the helper makes is in place: each makes
// a file in the state folder before the piece and removes it after, the
// environment file last. radvd's configurations have a folder of their own
// (<tun>.radvd.conf is where an earlier version kept them). At most max, in
// out; their count.
int in_place_tunnels(char (*out)[interface_name_size], int max)
{
    const int count = tunnels_in(state_dir, {".env", ".up", ".radvd.conf", ".radvd.conf.new",
                                             ".nft", ".lease"}, out, max, 0);
    const std::string radvd = std::string(state_dir) + "/radvd";
    return tunnels_in(radvd.c_str(), {".conf", ".conf.new"}, out, max, count);
}

// Stops the tunnel and removes what it put in place; the LAN hears that the
// router is gone and its prefixes are stale.
int stop_tunnel(event_context* c, const char* why)
{
    c->why = why;
    const event_situation situation{EVENT_DOWN, c->state->found, UNIT_KEEP, 1};
    return run_event(situation, c);
}

// What the settings no longer name is stopped and removed: every tunnel of
// an earlier tunnel setting that has something in place (their LANs'
// prefixes turn stale when the tunnel the settings name tells its LAN),
// and a tunnel fed by an uplink the settings no longer take. The exit
// status.
int retire_old_settings(const dhcp_settings& settings, tunnel_state* state,
                        const std::string& exceptions)
{
    char names[16][interface_name_size];
    const int count = in_place_tunnels(names, 16);
    int retired = 0, result = 0;
    const std::string why = std::string("the settings now name the tunnel ") + settings.tunnel;
    for (int i = 0; i < count; ++i) {
        if (std::strcmp(names[i], settings.tunnel) == 0)
            continue;
        ++retired;
        static tunnel_state old;
        read_state(names[i], &old);
        event_context c{names[i], &old, nullptr, nullptr, why.c_str(), exceptions, false};
        const event_situation situation{EVENT_RETIRE, old.found, UNIT_KEEP, state->found != 1};
        if (run_event(situation, &c) != 0)
            result = 1;
    }
    if (state->found == 1 && settings.uplink[0] != '\0' &&
        std::strcmp(state->plan.uplink, settings.uplink) != 0) {
        const std::string uplink_why = std::string("the settings now name the uplink ") +
                                       settings.uplink + ", not " + state->plan.uplink;
        event_context c{settings.tunnel, state, nullptr, nullptr, nullptr, exceptions, false};
        if (stop_tunnel(&c, uplink_why.c_str()) != 0)
            result = 1;
        read_state(settings.tunnel, state);
        return result;
    }
    // Nothing of the new tunnel yet: its LAN hears the old prefixes are stale.
    if (retired > 0 && state->found == 0 &&
        apply_lan(settings.tunnel, nullptr, 0, exceptions.c_str(), 0, nullptr) == -1)
        result = 1;
    return result;
}

// The settings and the state of their tunnel, with what an earlier setting
// made retired. 1 when the lease on uplink is one the settings take, 0 when
// they name another uplink, -1 after logging.
int begin_event(const char* settings_path, const char* uplink, dhcp_settings* settings,
                tunnel_state* state, std::string* exceptions)
{
    if (read_settings(settings_path, settings) == -1)
        return -1;
    *exceptions = exceptions_pattern(settings_path);
    read_state(settings->tunnel, state);
    // What the settings no longer name is gone whatever the history said;
    // the next event stores that again.
    retire_old_settings(*settings, state, *exceptions);
    return settings->uplink[0] == '\0' || std::strcmp(settings->uplink, uplink) == 0 ? 1 : 0;
}

// Status tells when the lease came and ended from this; written after the
// event's steps.
void record_lease(const char* tun, const char* uplink, const lease_record& given, bool ended)
{
    char path[128], text[lease_text_size];
    lease_record_path(tun, path, sizeof path);
    lease_record r{};
    if (read_text_file(path, text, sizeof text) != 1 || parse_lease_record(text, &r) == -1)
        r = lease_record{};
    const long long now = static_cast<long long>(time(nullptr));
    copy_text(r.uplink, sizeof r.uplink, uplink);
    if (ended) {
        r.ended = now;
        copy_text(r.why, sizeof r.why, given.why);
    } else {
        r.renewed = now;
        r.lease_seconds = given.lease_seconds;
        r.renew_seconds = given.renew_seconds;
        r.ended = 0;
        r.why[0] = '\0';
    }
    format_lease_record(r, text, sizeof text);
    replace_file(path, text, 0);
}

}  // namespace

int event_up(const char* settings_path, const char* uplink, const char* leased_v4,
             const char* const* words, int count, const lease_record& given)
{
    dhcp_settings settings;
    static tunnel_state state;
    std::string exceptions;
    const int ours = begin_event(settings_path, uplink, &settings, &state, &exceptions);
    if (ours <= 0)
        return ours == 0 ? 0 : 1;
    const char* tun = settings.tunnel;

    if (state.found == 1 && std::strcmp(state.plan.uplink, uplink) != 0) {
        // The first uplink keeps the tunnel until its lease ends; two
        // leases taking turns would restart it at every renewal.
        syslog(LOG_NOTICE, "ferrin@%s is fed by the lease on %s; the lease on %s is left alone",
               tun, state.plan.uplink, uplink);
        return 0;
    }

    sixrd_option option;
    static tunnel_plan plan;
    if (parse_sixrd_option(words, count, uplink, &option) == -1 ||
        plan_tunnel(option, leased_v4, uplink, settings, &plan) == -1 ||
        on_uplink_broadcast(plan, leased_v4, uplink)) {
        if (state.found != 0) {
            const std::string why = std::string("no usable 6rd option in the lease on ") + uplink;
            event_context c{tun, &state, nullptr, nullptr, nullptr, exceptions, false};
            stop_tunnel(&c, why.c_str());
            record_lease(tun, uplink, given, true);
        }
        return 1;
    }
    static char text[env_text_size];
    format_env(plan, tun, text, sizeof text);

    char unit[64];
    tunnel_unit(tun, unit, sizeof unit);
    // A tunnel that came up with another plan than the file's was never
    // restarted for it (an event cut short after writing it): it runs with
    // settings of its own, and the lease's take over.
    const bool other_plan = state.found == 1 && up_with(tun, state.text) == 0;
    const tunnel_plan* old = state.found == 1 && !other_plan ? &state.plan : nullptr;
    const unit_action action = decide_unit_action(old, plan, unit_active(unit));
    if (state.found == -1)
        syslog(LOG_NOTICE, "ferrin@%s: the environment file is damaged; the lease on %s replaces it",
               tun, uplink);
    if (action == UNIT_KEEP)
        syslog(LOG_INFO, "ferrin@%s: the lease on %s is unchanged; the tunnel runs on", tun,
               uplink);
    else if (action == UNIT_READDRESS)
        syslog(LOG_NOTICE, "ferrin@%s: new LAN settings; the tunnel runs on", tun);
    else {
        syslog(LOG_NOTICE,
               "ferrin@%s: %s: 6rd prefix %s, relay %s, address %s, delegated prefix %s (lease on %s)",
               tun, action == UNIT_START ? "starting" : "restarting", plan.prefix, plan.relay,
               plan.my_v4, plan.delegated, uplink);
        char warning[domain_warning_size];
        if (domain_warning(plan, warning, sizeof warning))
            syslog(LOG_WARNING, "ferrin@%s: %s", tun, warning);
    }

    event_context c{tun, &state, &plan, text, nullptr, exceptions, false};
    const event_situation situation{EVENT_UP, state.found, action, 1};
    const int result = run_event(situation, &c);
    if (action == UNIT_KEEP && !c.put_back.empty())
        syslog(LOG_NOTICE, "ferrin@%s: put back: %s", tun, c.put_back.c_str());
    record_lease(tun, uplink, given, false);
    return result;
}

int event_down(const char* settings_path, const char* uplink, const lease_record& given)
{
    dhcp_settings settings;
    static tunnel_state state;
    std::string exceptions;
    if (begin_event(settings_path, uplink, &settings, &state, &exceptions) == -1)
        return 1;
    // Whatever the settings say now, a tunnel this lease fed has lost its
    // values; a damaged file is taken as the caller's.
    if (state.found == 0 || (state.found == 1 && std::strcmp(state.plan.uplink, uplink) != 0))
        return 0;
    const std::string why = std::string("the lease on ") + uplink + " ended or lost its 6rd option";
    event_context c{settings.tunnel, &state, nullptr, nullptr, nullptr, exceptions, false};
    const int result = stop_tunnel(&c, why.c_str());
    record_lease(settings.tunnel, uplink, given, true);
    return result;
}

int event_addr(const char* settings_path, const char* tun)
{
    static tunnel_state state;
    read_state(tun, &state);
    if (state.found == -1)
        return 1;
    // A tunnel set up by hand (/etc/ferrin only) keeps the operator's addresses.
    if (state.found == 0)
        return 0;
    event_context c{tun, &state, &state.plan, state.text, nullptr,
                    exceptions_pattern(settings_path), true};
    const int result = run_event(event_situation{EVENT_ADDR, 1, UNIT_KEEP, 1}, &c);
    // A history that can't be stored fails the next lease event, not the unit.
    return result != 0 && c.history_stored ? 1 : 0;
}

int stop_tells_lan(const char* tun, const char* service_result)
{
    // After a crash the unit starts the daemon again within seconds, and a
    // restart (an upgrade's, an operator's) at once: the hosts keep their
    // router.
    if (service_result == nullptr || std::strcmp(service_result, "success") != 0)
        return 0;
    char unit[64];
    tunnel_unit(tun, unit, sizeof unit);
    if (unit_restarting(unit))
        return 0;
    // A lease that changed the file restarts the unit and tells the LAN
    // itself; only a stop of the tunnel as it came up is the router going.
    static tunnel_state state;
    read_state(tun, &state);
    return state.found == 1 && came_up_with(tun, state.text) ? 1 : 0;
}

int event_stopped(const char* settings_path, const char* tun)
{
    static tunnel_state state;
    read_state(tun, &state);
    if (state.found != 1 || !came_up_with(tun, state.text))
        return 0;
    syslog(LOG_NOTICE, "ferrin@%s stopped: the LAN hears that the router is gone", tun);
    event_context c{tun, &state, &state.plan, state.text, nullptr,
                    exceptions_pattern(settings_path), false};
    run_event(event_situation{EVENT_STOPPED, 1, UNIT_KEEP, 1}, &c);
    return 0;
}

int event_link(const char* settings_path, const char* tun)
{
    static tunnel_state state;
    read_state(tun, &state);
    char unit[64];
    tunnel_unit(tun, unit, sizeof unit);
    // Only a tunnel that runs as it came up routes its LAN; the unit's own
    // steps tell the LAN of the others.
    if (state.found != 1 || !came_up_with(tun, state.text) || !unit_active(unit))
        return 0;
    event_context c{tun, &state, &state.plan, state.text, nullptr,
                    exceptions_pattern(settings_path), false};
    const int result = run_event(event_situation{EVENT_LINK, 1, UNIT_KEEP, 1}, &c);
    if (!c.put_back.empty())
        syslog(LOG_NOTICE, "ferrin@%s: a LAN link changed; put back: %s", tun, c.put_back.c_str());
    return result;
}

int event_remove(const char* settings_path)
{
    char names[16][interface_name_size];
    const int count = in_place_tunnels(names, 16);
    const std::string exceptions = exceptions_pattern(settings_path);
    int result = 0;
    for (int i = 0; i < count; ++i) {
        static tunnel_state state;
        read_state(names[i], &state);
        event_context c{names[i], &state, nullptr, nullptr, "the package is removed", exceptions,
                        false};
        if (run_event(event_situation{EVENT_REMOVE, state.found, UNIT_KEEP, 1}, &c) != 0)
            result = 1;
    }
    return result;
}

int check_interface_argument(const char* name, bool tunnel)
{
    if (!(tunnel ? valid_plain_interface_name(name) : valid_interface_name(name))) {
        syslog(LOG_ERR, "%s: not an interface name", name);
        return -1;
    }
    return 0;
}
