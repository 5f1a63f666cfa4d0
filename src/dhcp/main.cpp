// SPDX-License-Identifier: BSD-2-Clause
// ferrin-6rd: from a DHCP lease's 6rd option to a running tunnel. The DHCP
// clients' hooks call it at every lease event; the unit calls its addr step
// once the daemon has made its interface.
//
//   up uplink v4 masklen plen prefix br ...   a lease with option 212
//   down uplink                               the lease ended or lost the option
//   addr tun                                  addresses and routes after a start
//   show v4 masklen plen prefix br ...        what a lease would give, nothing done
#include "dhcp/env_file.h"
#include "dhcp/lease_plan.h"
#include "dhcp/settings.h"
#include "dhcp/system_actions.h"

#include <signal.h>
#include <stdlib.h>
#include <syslog.h>

#include <cstdio>
#include <cstring>

#ifndef FERRIN_SETTINGS_PATH
#define FERRIN_SETTINGS_PATH "/etc/ferrin/dhcp.conf"
#endif

namespace {

const char settings_path[] = FERRIN_SETTINGS_PATH;

// The daemon makes its interface within milliseconds of its start.
constexpr int interface_wait_seconds = 10;

void print_usage()
{
    std::printf("usage: ferrin-6rd up uplink v4 masklen plen prefix br ...\n"
                "       ferrin-6rd down uplink\n"
                "       ferrin-6rd addr tun\n"
                "       ferrin-6rd show v4 masklen plen prefix br ...\n"
                "settings: %s\n"
                "state: %s\n",
                settings_path, state_dir);
}

int check_interface_argument(const char* name)
{
    if (!valid_interface_name(name)) {
        syslog(LOG_ERR, "%s: not an interface name", name);
        return -1;
    }
    return 0;
}

// Removes what a plan put in place outside the tun interface (whose addresses
// and routes go with the daemon), where the new plan (if any) does not put
// the same back. Missing pieces are fine: down may run any number of times.
void remove_lan_pieces(const tunnel_plan& old_plan, const tunnel_plan* new_plan)
{
    if (old_plan.lan_address[0] != '\0' &&
        (new_plan == nullptr || std::strcmp(old_plan.lan, new_plan->lan) != 0 ||
         std::strcmp(old_plan.lan_address, new_plan->lan_address) != 0)) {
        const char* args[] = {"addr", "del", old_plan.lan_address, "dev", old_plan.lan, nullptr};
        run_ip(args, 1);
    }
    if (old_plan.unreachable[0] != '\0' &&
        (new_plan == nullptr || std::strcmp(old_plan.unreachable, new_plan->unreachable) != 0)) {
        const char* args[] = {"route", "del", "unreachable", old_plan.unreachable, nullptr};
        run_ip(args, 1);
    }
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
    if (plan.lan_address[0] != '\0') {
        const char* lan[] = {"addr", "replace", plan.lan_address, "dev", plan.lan, nullptr};
        run_ip(lan, 0);
        // The LAN takes one /64; the rest of the delegated prefix would
        // otherwise follow the on-link domain route back into the tunnel.
        if (plan.unreachable[0] != '\0') {
            const char* rest[] = {"route", "replace", "unreachable", plan.unreachable, nullptr};
            run_ip(rest, 0);
        }
    }
    syslog(LOG_INFO, "%s: address %s and the default route in place", tun, plan.tun_address);
    return 0;
}

// Stops the tunnel fed by uplink and removes what it put in place: its unit,
// its LAN address and route, its environment file. Nothing when there is no
// tunnel, or when another uplink feeds it.
int stop_tunnel(const dhcp_settings& settings, const char* uplink, int bad_lease)
{
    const char* tun = settings.tunnel;
    tunnel_plan old_plan;
    char old_text[env_text_size];
    const int found = read_env(tun, &old_plan, old_text, sizeof old_text);
    if (found == 0)
        return 0;
    // An unreadable file is ours all the same: stopping resets it.
    if (found == 1 && std::strcmp(old_plan.uplink, uplink) != 0)
        return 0;
    if (bad_lease)
        syslog(LOG_NOTICE, "ferrin@%s: stopping: no usable 6rd option in the lease on %s", tun,
               uplink);
    else
        syslog(LOG_NOTICE, "ferrin@%s: stopping: the lease on %s ended or lost its 6rd option", tun, uplink);
    int result = unit_command("stop", tun);
    if (found == 1)
        remove_lan_pieces(old_plan, nullptr);
    if (remove_env(tun) == -1)
        result = -1;
    return result;
}

// The settings, when the lease on uplink is one the settings take: 1, 0
// when they name another uplink, -1 after logging.
int settings_for_uplink(const char* uplink, dhcp_settings* settings)
{
    if (check_interface_argument(uplink) == -1 || read_settings(settings_path, settings) == -1)
        return -1;
    return settings->uplink[0] == '\0' || std::strcmp(settings->uplink, uplink) == 0 ? 1 : 0;
}

int command_up(const char* uplink, const char* leased_v4, const char* const* words, int count)
{
    dhcp_settings settings;
    const int ours = settings_for_uplink(uplink, &settings);
    if (ours <= 0)
        return ours == 0 ? 0 : 1;
    const char* tun = settings.tunnel;

    tunnel_plan old_plan;
    char old_text[env_text_size];
    const int found = read_env(tun, &old_plan, old_text, sizeof old_text);
    if (found == 1 && std::strcmp(old_plan.uplink, uplink) != 0) {
        // The first uplink keeps the tunnel until its lease ends; two
        // leases taking turns would restart it at every renewal.
        syslog(LOG_NOTICE, "ferrin@%s is fed by the lease on %s; the lease on %s is left alone",
               tun, old_plan.uplink, uplink);
        return 0;
    }

    sixrd_option option;
    tunnel_plan plan;
    if (parse_sixrd_option(words, count, uplink, &option) == -1 ||
        plan_tunnel(option, leased_v4, uplink, settings, &plan) == -1) {
        stop_tunnel(settings, uplink, 1);
        return 1;
    }
    char text[env_text_size];
    format_env(plan, tun, text, sizeof text);

    const tunnel_plan* old = found == 1 ? &old_plan : nullptr;
    const unit_action action = decide_unit_action(old, plan, unit_active(tun));
    if (old != nullptr)
        remove_lan_pieces(*old, &plan);
    if ((old == nullptr || std::strcmp(old_text, text) != 0) && write_env(tun, text) == -1)
        return 1;

    switch (action) {
    case UNIT_KEEP:
        syslog(LOG_INFO, "ferrin@%s: the lease on %s is unchanged; the tunnel runs on", tun,
               uplink);
        return 0;
    case UNIT_READDRESS:
        syslog(LOG_NOTICE, "ferrin@%s: new LAN settings; the tunnel runs on", tun);
        return apply_addresses(plan, tun) == -1 ? 1 : 0;
    case UNIT_START:
    case UNIT_RESTART:
        break;
    }
    const char* verb = action == UNIT_START ? "start" : "restart";
    syslog(LOG_NOTICE,
           "ferrin@%s: %s: 6rd prefix %s, relay %s, address %s, delegated prefix %s (lease on %s)",
           tun, action == UNIT_START ? "starting" : "restarting", plan.prefix, plan.relay,
           plan.my_v4, plan.delegated, uplink);
    return unit_command(verb, tun) == -1 ? 1 : 0;
}

int command_down(const char* uplink)
{
    dhcp_settings settings;
    const int ours = settings_for_uplink(uplink, &settings);
    if (ours <= 0)
        return ours == 0 ? 0 : 1;
    return stop_tunnel(settings, uplink, 0) == -1 ? 1 : 0;
}

int command_addr(const char* tun)
{
    if (check_interface_argument(tun) == -1)
        return 1;
    tunnel_plan plan;
    char text[env_text_size];
    const int found = read_env(tun, &plan, text, sizeof text);
    if (found == -1)
        return 1;
    // A tunnel set up by hand (/etc/ferrin only) keeps the operator's addresses.
    if (found == 0)
        return 0;
    return apply_addresses(plan, tun) == -1 ? 1 : 0;
}

int command_show(const char* leased_v4, const char* const* words, int count)
{
    dhcp_settings settings;
    if (read_settings(settings_path, &settings) == -1)
        return 1;
    sixrd_option option;
    tunnel_plan plan;
    if (parse_sixrd_option(words, count, "show", &option) == -1 ||
        plan_tunnel(option, leased_v4, "show", settings, &plan) == -1)
        return 1;
    const char* tun = settings.tunnel;
    std::printf("daemon            ferrin -F %s%s%s %s %s %s\n", plan.options,
                plan.options[0] != '\0' ? " " : "", tun, plan.prefix, plan.relay, plan.my_v4);
    std::printf("delegated prefix  %s\n", plan.delegated);
    std::printf("%-17s %s, default route\n", tun, plan.tun_address);
    if (plan.lan_address[0] != '\0')
        std::printf("%-17s %s\n", plan.lan, plan.lan_address);
    if (plan.unreachable[0] != '\0')
        std::printf("unreachable       %s\n", plan.unreachable);
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
    const int count = argc - 2;
    if (std::strcmp(command, "up") == 0 && count >= 2)
        return command_up(rest[0], rest[1], rest + 2, count - 2);
    if (std::strcmp(command, "down") == 0 && count == 1)
        return command_down(rest[0]);
    if (std::strcmp(command, "addr") == 0 && count == 1)
        return command_addr(rest[0]);
    if (std::strcmp(command, "show") == 0 && count >= 1)
        return command_show(rest[0], rest + 1, count - 1);
    print_usage();
    return 1;
}
