// SPDX-License-Identifier: BSD-2-Clause
// ferrin-6rd: from a DHCP lease's 6rd option to a running tunnel and a LAN
// that gets IPv6 by itself. The DHCP clients' hooks call it at every lease
// event; the unit calls its addr step once the daemon has made its
// interface, and its stopped step when the daemon has stopped.
//
//   up uplink v4 masklen plen prefix br ...   a lease with option 212
//   down uplink                               the lease ended or lost the option
//   addr tun                                  addresses, routes and the LAN after a start
//   stopped tun                               the LAN told the router is gone after a stop
//   show v4 masklen plen prefix br ...        what a lease would give, nothing done
//   status                                    what is in place, and why
//   --help, --version
//
// Every event compares the plan in force (the environment file) with the
// new one (from the lease and the settings, or none) and changes only what
// differs; the LAN's router advertisements, firewall and prefix history are
// made from the plan and the state of the tunnel (lan_apply).
#include "edge/domain_warning.h"
#include "edge/env_file.h"
#include "edge/lan_apply.h"
#include "edge/lease_plan.h"
#include "edge/radvd_config.h"
#include "edge/settings.h"
#include "edge/status.h"
#include "edge/system_actions.h"
#include "edge/text.h"

#include <signal.h>
#include <stdlib.h>
#include <syslog.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#ifndef FERRIN_SETTINGS_PATH
#define FERRIN_SETTINGS_PATH "/etc/ferrin/dhcp.conf"
#endif
#ifndef FERRIN_VERSION
#define FERRIN_VERSION "unknown"
#endif

namespace {

const char settings_path[] = FERRIN_SETTINGS_PATH;

// The daemon makes its interface within milliseconds of its start.
constexpr int interface_wait_seconds = 10;
// Another event holds the state for a few bounded commands at most.
constexpr int lock_seconds = 60;

void print_usage()
{
    std::printf("usage: ferrin-6rd up uplink v4 masklen plen prefix br ...\n"
                "       ferrin-6rd down uplink\n"
                "       ferrin-6rd addr tun\n"
                "       ferrin-6rd stopped tun\n"
                "       ferrin-6rd show [--settings file] [--radvd] v4 masklen plen prefix br ...\n"
                "       ferrin-6rd status\n"
                "       ferrin-6rd --help | --version\n"
                "settings: %s\n"
                "state: %s\n"
                "history: %s\n",
                settings_path, state_dir, history_path);
}

// "<settings folder>/lan-firewall.d/*.nft": the operator's own rules for
// traffic from the tunnel to the LAN.
std::string exceptions_pattern()
{
    const std::string settings(settings_path);
    return settings.substr(0, settings.rfind('/')) + "/lan-firewall.d/*.nft";
}

// A tunnel's name (from the unit's instance) is one the settings took; an
// uplink's is the kernel's, as the DHCP client passes it.
int check_interface_argument(const char* name, bool tunnel = false)
{
    if (!(tunnel ? valid_plain_interface_name(name) : valid_interface_name(name))) {
        syslog(LOG_ERR, "%s: not an interface name", name);
        return -1;
    }
    return 0;
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
// the same back. Missing pieces are fine: down may run any number of times.
void remove_lan_pieces(const tunnel_plan& old_plan, const tunnel_plan* new_plan)
{
    for (int i = 0; i < old_plan.lan_count; ++i) {
        const lan_plan& lan = old_plan.lans[i];
        if (has_lan(new_plan, lan))
            continue;
        const char* args[] = {"addr", "del", lan.address, "dev", lan.name, nullptr};
        run_ip(args, 1);
    }
    if (old_plan.unreachable[0] != '\0' &&
        (new_plan == nullptr || std::strcmp(old_plan.unreachable, new_plan->unreachable) != 0)) {
        const char* args[] = {"route", "del", "unreachable", old_plan.unreachable, nullptr};
        run_ip(args, 1);
    }
}

// A damaged file names no LAN: the prefixes in force in the history tell
// which addresses this helper put on which interface.
void remove_lan_pieces_of_history()
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
    remove_lan_pieces(made, nullptr);
}

// The addresses and routes of a running tunnel, as the addr step makes them.
// Replacing makes every step safe to repeat. A LAN that fails is logged and
// leaves the tunnel itself working.
int apply_addresses(const tunnel_plan& plan, const char* tun)
{
    if (wait_for_interface(tun, interface_wait_seconds) == -1)
        return -1;
    // The tun interface has no link layer and no neighbours: nothing to detect.
    const char* address[] = {"addr", "replace", plan.tun_address, "dev", tun, "nodad", nullptr};
    const char* route[] = {"route", "replace", "default", "dev", tun, nullptr};
    if (run_ip(address, 0) == -1 || run_ip(route, 0) == -1)
        return -1;
    for (int i = 0; i < plan.lan_count; ++i) {
        const char* lan[] = {"addr", "replace", plan.lans[i].address, "dev", plan.lans[i].name,
                             nullptr};
        run_ip(lan, 0);
    }
    if (plan.unreachable[0] != '\0') {
        const char* rest[] = {"route", "replace", "unreachable", plan.unreachable, nullptr};
        run_ip(rest, 0);
    }
    syslog(LOG_INFO, "%s: address %s and the default route in place", tun, plan.tun_address);
    return 0;
}

void mark_up(const char* tun, const char* text)
{
    char path[128];
    up_path(tun, path, sizeof path);
    replace_file(path, text, 0);
}

void mark_down(const char* tun)
{
    char path[128];
    up_path(tun, path, sizeof path);
    remove_file(path);
}

// Stops the unit of tun and removes what its plan put in place outside the
// tun interface, and its files. why ends the log line.
int take_down(const char* tun, const tunnel_state& state, const char* why)
{
    syslog(LOG_NOTICE, "ferrin@%s: stopping: %s", tun, why);
    char unit[64];
    tunnel_unit(tun, unit, sizeof unit);
    int result = unit_command("stop", unit);
    if (state.found == 1)
        remove_lan_pieces(state.plan, nullptr);
    if (remove_env(tun) == -1)
        result = -1;
    mark_down(tun);
    return result;
}

// Stops the tunnel tun and removes what it put in place: its unit, its LAN
// address and route, its environment file; the LAN hears that the router
// is gone and its prefixes are stale.
int stop_tunnel(const char* tun, const tunnel_state& state, const char* why)
{
    const int result = take_down(tun, state, why);
    if (state.found != 1)
        remove_lan_pieces_of_history();
    apply_lan(tun, nullptr, 0, exceptions_pattern().c_str());
    return result;
}

// What the settings no longer name is stopped and removed: the tunnels of
// an earlier tunnel setting (their LANs' prefixes turn stale when the
// tunnel the settings name tells its LAN), and a tunnel fed by an uplink the
// settings no longer take.
void retire_old_settings(const dhcp_settings& settings, tunnel_state* state)
{
    char names[16][16];
    const int count = env_tunnels(names, 16);
    int retired = 0;
    const std::string why = std::string("the settings now name the tunnel ") + settings.tunnel;
    for (int i = 0; i < count; ++i) {
        if (std::strcmp(names[i], settings.tunnel) == 0)
            continue;
        ++retired;
        static tunnel_state old;
        read_state(names[i], &old);
        take_down(names[i], old, why.c_str());
        retire_lan(names[i]);
    }
    if (state->found == 1 && settings.uplink[0] != '\0' &&
        std::strcmp(state->plan.uplink, settings.uplink) != 0) {
        const std::string uplink_why = std::string("the settings now name the uplink ") +
                                       settings.uplink + ", not " + state->plan.uplink;
        stop_tunnel(settings.tunnel, *state, uplink_why.c_str());
        state->found = 0;
    } else if (retired > 0 && state->found == 0) {
        // Nothing of the new tunnel yet: its LAN hears the old prefixes are stale.
        apply_lan(settings.tunnel, nullptr, 0, exceptions_pattern().c_str());
    }
}

// The settings and the state of their tunnel, under the lock, with what an
// earlier setting made retired. 1 when the lease on uplink is one the
// settings take, 0 when they name another uplink, -1 after logging.
int begin_event(const char* uplink, dhcp_settings* settings, tunnel_state* state)
{
    if (check_interface_argument(uplink) == -1 || read_settings(settings_path, settings) == -1 ||
        lock_state(lock_seconds) == -1)
        return -1;
    read_state(settings->tunnel, state);
    retire_old_settings(*settings, state);
    return settings->uplink[0] == '\0' || std::strcmp(settings->uplink, uplink) == 0 ? 1 : 0;
}

int command_up(const char* uplink, const char* leased_v4, const char* const* words, int count)
{
    dhcp_settings settings;
    static tunnel_state state;
    const int ours = begin_event(uplink, &settings, &state);
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
    tunnel_plan plan;
    if (parse_sixrd_option(words, count, uplink, &option) == -1 ||
        plan_tunnel(option, leased_v4, uplink, settings, &plan) == -1) {
        if (state.found != 0) {
            const std::string why = std::string("no usable 6rd option in the lease on ") + uplink;
            stop_tunnel(tun, state, why.c_str());
        }
        return 1;
    }
    char text[env_text_size];
    format_env(plan, tun, text, sizeof text);

    const tunnel_plan* old = state.found == 1 ? &state.plan : nullptr;
    char unit[64];
    tunnel_unit(tun, unit, sizeof unit);
    const unit_action action = decide_unit_action(old, plan, unit_active(unit));
    if (old != nullptr)
        remove_lan_pieces(*old, &plan);
    if (state.found == -1) {
        // Its LAN pieces are unknown but to the history.
        remove_lan_pieces_of_history();
        syslog(LOG_NOTICE, "ferrin@%s: the environment file is damaged; the lease on %s replaces it",
               tun, uplink);
    }
    if ((old == nullptr || std::strcmp(state.text, text) != 0) && write_env(tun, text) == -1)
        return 1;

    switch (action) {
    case UNIT_KEEP:
        syslog(LOG_INFO, "ferrin@%s: the lease on %s is unchanged; the tunnel runs on", tun,
               uplink);
        // A renewal is the chance to stop announcing what has run out.
        if (history_expired(read_history(), static_cast<long long>(time(nullptr))))
            apply_lan(tun, &plan, 1, exceptions_pattern().c_str());
        return 0;
    case UNIT_READDRESS:
        syslog(LOG_NOTICE, "ferrin@%s: new LAN settings; the tunnel runs on", tun);
        if (apply_addresses(plan, tun) == -1)
            return 1;
        apply_lan(tun, &plan, 1, exceptions_pattern().c_str());
        mark_up(tun, text);
        return 0;
    case UNIT_START:
    case UNIT_RESTART:
        break;
    }
    syslog(LOG_NOTICE,
           "ferrin@%s: %s: 6rd prefix %s, relay %s, address %s, delegated prefix %s (lease on %s)",
           tun, action == UNIT_START ? "starting" : "restarting", plan.prefix, plan.relay,
           plan.my_v4, plan.delegated, uplink);
    char warning[domain_warning_size];
    if (domain_warning(plan, warning, sizeof warning))
        syslog(LOG_WARNING, "ferrin@%s: %s", tun, warning);
    // The unit's addr step tells the LAN once the daemon runs.
    return unit_command(action == UNIT_START ? "start" : "restart", unit) == -1 ? 1 : 0;
}

int command_down(const char* uplink)
{
    dhcp_settings settings;
    static tunnel_state state;
    if (begin_event(uplink, &settings, &state) == -1)
        return 1;
    // Whatever the settings say now, a tunnel this lease fed has lost its
    // values; a damaged file is taken as the caller's.
    if (state.found == 0 || (state.found == 1 && std::strcmp(state.plan.uplink, uplink) != 0))
        return 0;
    const std::string why = std::string("the lease on ") + uplink + " ended or lost its 6rd option";
    return stop_tunnel(settings.tunnel, state, why.c_str()) == -1 ? 1 : 0;
}

int command_addr(const char* tun)
{
    if (check_interface_argument(tun, true) == -1 || lock_state(lock_seconds) == -1)
        return 1;
    static tunnel_state state;
    read_state(tun, &state);
    if (state.found == -1)
        return 1;
    // A tunnel set up by hand (/etc/ferrin only) keeps the operator's addresses.
    if (state.found == 0)
        return 0;
    if (apply_addresses(state.plan, tun) == -1)
        return 1;
    apply_lan(tun, &state.plan, 1, exceptions_pattern().c_str());
    mark_up(tun, state.text);
    return 0;
}

int command_stopped(const char* tun)
{
    // After a crash the unit starts the daemon again within seconds: the
    // hosts keep their router.
    const char* result = getenv("SERVICE_RESULT");
    if (result == nullptr || std::strcmp(result, "success") != 0)
        return 0;
    if (check_interface_argument(tun, true) == -1 || lock_state(lock_seconds) == -1)
        return 1;
    static tunnel_state state;
    read_state(tun, &state);
    if (state.found != 1)
        return 0;
    // A lease that changed the file restarts the unit and tells the LAN
    // itself; only a stop of the tunnel as it came up is the router going.
    char path[128];
    static char up_text[env_text_size];
    up_path(tun, path, sizeof path);
    if (read_text_file(path, up_text, sizeof up_text) != 1 || std::strcmp(up_text, state.text) != 0)
        return 0;
    syslog(LOG_NOTICE, "ferrin@%s stopped: the LAN hears that the router is gone", tun);
    apply_lan(tun, &state.plan, 0, exceptions_pattern().c_str());
    mark_down(tun);
    return 0;
}

// With radvd, the configuration the LAN's radvd gets once the tunnel is up
// on such a first lease (no prefix of an earlier one is stale yet) instead.
int command_show(const char* settings_file, bool radvd, const char* leased_v4,
                 const char* const* words, int count)
{
    dhcp_settings settings;
    if (read_settings(settings_file, &settings) == -1)
        return 1;
    sixrd_option option;
    tunnel_plan plan;
    if (parse_sixrd_option(words, count, "show", &option) == -1 ||
        plan_tunnel(option, leased_v4, "show", settings, &plan) == -1)
        return 1;
    const char* tun = settings.tunnel;
    if (radvd) {
        static char text[radvd_text_size];
        radvd_config(&plan, 1, prefix_history{}, tun, text, sizeof text);
        std::fputs(text, stdout);
        return 0;
    }
    std::printf("daemon            ferrin -F %s%s%s %s %s %s\n", plan.options,
                plan.options[0] != '\0' ? " " : "", tun, plan.prefix, plan.relay, plan.my_v4);
    std::printf("delegated prefix  %s\n", plan.delegated);
    std::printf("%-17s %s, default route\n", tun, plan.tun_address);
    for (int i = 0; i < plan.lan_count; ++i)
        std::printf("%-17s %s\n", plan.lans[i].name, plan.lans[i].address);
    if (plan.unreachable[0] != '\0')
        std::printf("unreachable       %s\n", plan.unreachable);
    char warning[domain_warning_size];
    if (domain_warning(plan, warning, sizeof warning))
        std::printf("warning           %s\n", warning);
    return 0;
}

int command_status()
{
    dhcp_settings settings;
    if (read_settings(settings_path, &settings) == -1)
        return 1;
    static tunnel_state state;
    read_state(settings.tunnel, &state);
    print_status(settings, settings_path, exceptions_pattern().c_str(), state.found, state.plan);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    openlog("ferrin-6rd", LOG_PID | LOG_PERROR, LOG_DAEMON);
    // A hook may run with SIGCHLD ignored, which would make every child
    // vanish before its status is read; and with no PATH at all.
    signal(SIGCHLD, SIG_DFL);
    setenv("PATH", "/usr/sbin:/usr/bin:/sbin:/bin", 0);

    const char* command = argc > 1 ? argv[1] : "";
    const char* const* rest = argv + 2;
    int count = argc - 2;
    if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0) {
        print_usage();
        return 0;
    }
    if (std::strcmp(command, "--version") == 0) {
        std::printf("ferrin-6rd %s\n", FERRIN_VERSION);
        return 0;
    }
    if (std::strcmp(command, "up") == 0 && count >= 2)
        return command_up(rest[0], rest[1], rest + 2, count - 2);
    if (std::strcmp(command, "down") == 0 && count == 1)
        return command_down(rest[0]);
    if (std::strcmp(command, "addr") == 0 && count == 1)
        return command_addr(rest[0]);
    if (std::strcmp(command, "stopped") == 0 && count == 1)
        return command_stopped(rest[0]);
    if (std::strcmp(command, "show") == 0) {
        const char* file = settings_path;
        bool radvd = false;
        // A leased address never starts with "-": what does is an option.
        for (; count >= 1 && rest[0][0] == '-'; ++rest, --count) {
            if (std::strcmp(rest[0], "--radvd") == 0) {
                radvd = true;
            } else if (std::strcmp(rest[0], "--settings") == 0 && count >= 2) {
                file = *++rest;
                --count;
            } else {
                std::fprintf(stderr, "ferrin-6rd: %s: %s\n", rest[0],
                             std::strcmp(rest[0], "--settings") == 0 ? "needs a file"
                                                                     : "unknown option");
                print_usage();
                return 1;
            }
        }
        if (count >= 1)
            return command_show(file, radvd, rest[0], rest + 1, count - 1);
    }
    if (std::strcmp(command, "status") == 0 && count == 0)
        return command_status();
    if (command[0] == '-')
        std::fprintf(stderr, "ferrin-6rd: %s: unknown option\n", command);
    print_usage();
    return 1;
}
