// SPDX-License-Identifier: BSD-2-Clause
#include "edge/lan_apply.h"

#include "edge/env_file.h"
#include "edge/lan_firewall.h"
#include "edge/radvd_config.h"
#include "edge/system_actions.h"
#include "edge/text.h"

#include <syslog.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace {

// Set apart from the kernel's route of an address by its metric and protocol.
const char stale_route_metric[] = "2048";

void stop_radvd(const char* tun)
{
    char path[128], unit[64];
    radvd_unit(tun, unit, sizeof unit);
    if (unit_active(unit))
        unit_command("stop", unit);
    radvd_config_path(tun, path, sizeof path);
    remove_file(path);
}

void write_history(const prefix_history& history)
{
    char text[history_text_size];
    format_history(history, text, sizeof text);
    // A prefix forgotten in a power cut would never be withdrawn.
    replace_file(history_path, text, 1);
}

// One line for the log: what the LANs hear now.
void log_advertisements(const char* unit, const tunnel_plan* plan, int tunnel_up,
                        const prefix_history& history)
{
    std::string said;
    for (int i = 0; plan != nullptr && tunnel_up && i < plan->lan_count; ++i)
        said += std::string(said.empty() ? "" : ", ") + plan->lans[i].prefix + " on " +
                plan->lans[i].name;
    said = said.empty() ? "this host is no default router"
                        : "this host is the default router, with " + said;
    const int stale = stale_count(history);
    if (stale > 0)
        said += "; " + std::to_string(stale) + " stale prefix" + (stale > 1 ? "es" : "") +
                " announced with zero lifetimes";
    syslog(LOG_INFO, "%s: %s", unit, said.c_str());
}

void apply_radvd(const char* tun, const tunnel_plan* plan, int tunnel_up,
                 const prefix_history& history)
{
    static char text[radvd_text_size];
    radvd_config(plan, tunnel_up, history, tun, text, sizeof text);
    char path[128], unit[64];
    radvd_config_path(tun, path, sizeof path);
    radvd_unit(tun, unit, sizeof unit);
    if (text[0] == '\0') {
        stop_radvd(tun);
        return;
    }
    if (!program_installed("radvd")) {
        syslog(LOG_ERR, "radvd is not installed: the LAN hears no router advertisements and its "
                        "hosts get no IPv6 address (install radvd)");
        return;
    }
    // A reload of a file radvd refuses would end it: the file in use is
    // replaced only by one radvd has taken.
    const std::string candidate = std::string(path) + ".new";
    if (replace_file(candidate.c_str(), text, 0) == -1)
        return;
    if (check_radvd_config(candidate.c_str()) == -1) {
        syslog(LOG_ERR, "%s: radvd refused it; the LAN hears what it heard before", candidate.c_str());
        remove_file(candidate.c_str());
        return;
    }
    if (std::rename(candidate.c_str(), path) == -1) {
        syslog(LOG_ERR, "%s: rename: %m", path);
        remove_file(candidate.c_str());
        return;
    }
    // radvd advertises at once after a reload (SIGHUP); a restart would
    // first tell the hosts that the router is gone.
    const int told = unit_active(unit) ? unit_signal(unit, "HUP") : unit_command("start", unit);
    if (told == 0)
        log_advertisements(unit, plan, tunnel_up, history);
}

void apply_firewall(const char* tun, const tunnel_plan* plan, const prefix_history& history,
                    const char* exceptions)
{
    static char text[firewall_text_size];
    const int wanted = firewall_text(plan, history, tun, exceptions, text, sizeof text);
    if (!program_installed("nft")) {
        if (wanted)
            syslog(LOG_ERR, "nft is not installed: the LAN has no firewall, and hosts on a stale "
                            "prefix are not told so (install nftables)");
        return;
    }
    char path[128], table[32];
    firewall_path(tun, path, sizeof path);
    firewall_table_name(tun, table, sizeof table);
    if (replace_file(path, text, 0) == -1)
        return;
    if (load_nft_file(path) == 0 && wanted)
        syslog(LOG_INFO, "table ip6 %s in place: %s", table,
               plan == nullptr || plan->lan_count == 0 ? "only stale prefixes refused"
               : plan->lan_firewall                    ? "the LAN is shielded from the tunnel"
                                                       : "no firewall (lan_firewall = no)");
    if (!wanted)
        remove_file(path);
}

bool stale_in(const prefix_history& history, const prefix_record& r)
{
    for (int i = 0; i < history.count; ++i)
        if (history.records[i].stale_until != 0 &&
            std::strcmp(history.records[i].lan, r.lan) == 0 &&
            std::strcmp(history.records[i].prefix, r.prefix) == 0)
            return true;
    return false;
}

// The edge's address in a stale prefix is gone, and with it the route to the
// hosts still sending from it: without one of its own, the answer that
// tells them so would follow the domain route into the tunnel.
void route_stale_prefixes(const prefix_history& old, const prefix_history& history)
{
    for (int i = 0; i < old.count; ++i) {
        const prefix_record& r = old.records[i];
        if (r.stale_until != 0 && !stale_in(history, r)) {
            const char* args[] = {"route", "del", r.prefix, "dev", r.lan, "proto", "static",
                                  "metric", stale_route_metric, nullptr};
            run_ip(args, 1);
        }
    }
    for (int i = 0; i < history.count; ++i) {
        const prefix_record& r = history.records[i];
        if (r.stale_until != 0) {
            const char* args[] = {"route", "replace", r.prefix, "dev", r.lan, "proto", "static",
                                  "metric", stale_route_metric, nullptr};
            run_ip(args, 1);
        }
    }
}

}  // namespace

prefix_history read_history()
{
    static char text[history_text_size];
    prefix_history history{};
    if (read_text_file(history_path, text, sizeof text) == 1 &&
        parse_history(text, history_path, &history) == -1)
        syslog(LOG_ERR, "%s: damaged; prefixes withdrawn before are no longer announced",
               history_path);
    return history;
}

int history_expired(const prefix_history& history, long long now)
{
    for (int i = 0; i < history.count; ++i)
        if (history.records[i].stale_until != 0 && history.records[i].stale_until <= now)
            return 1;
    return 0;
}

int apply_lan(const char* tun, const tunnel_plan* plan, int tunnel_up, const char* exceptions)
{
    const prefix_history old = read_history();
    const prefix_history history = next_history(old, plan, static_cast<long long>(time(nullptr)));
    if (!same_history(old, history))
        write_history(history);
    route_stale_prefixes(old, history);
    // Not before the tunnel is up: until then this host is no router.
    if (tunnel_up && plan != nullptr && plan->lan_count > 0) {
        const int turned = turn_on_forwarding();
        if (turned == 1)
            syslog(LOG_NOTICE,
                   "IPv6 forwarding turned on for the LAN (net.ipv6.conf.all.forwarding = 1)");
        // Some containers see /proc/sys read-only; forwarding turned on from
        // outside works at once, with what the LAN hears already.
        if (turned == -1)
            syslog(LOG_ERR, "IPv6 forwarding is off and can't be turned on from here: the LAN's "
                            "hosts reach nothing beyond this host until it is turned on "
                            "(net.ipv6.conf.all.forwarding = 1, from outside a container)");
    }
    apply_radvd(tun, plan, tunnel_up, history);
    apply_firewall(tun, plan, history, exceptions);
    return 0;
}

void retire_lan(const char* tun)
{
    stop_radvd(tun);
    // No plan and nothing stale: the text that removes the table.
    apply_firewall(tun, nullptr, prefix_history{}, "");
}

std::string exceptions_pattern(const char* settings_path)
{
    const std::string settings(settings_path);
    return settings.substr(0, settings.rfind('/')) + "/lan-firewall.d/*.nft";
}

void radvd_config_path(const char* tun, char* out, size_t size)
{
    std::snprintf(out, size, "%s/%s.radvd.conf", state_dir, tun);
}

void firewall_path(const char* tun, char* out, size_t size)
{
    std::snprintf(out, size, "%s/%s.nft", state_dir, tun);
}
