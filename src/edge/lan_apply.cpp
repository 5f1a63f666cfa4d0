// SPDX-License-Identifier: BSD-2-Clause
#include "edge/lan_apply.h"

#include "edge/env_file.h"
#include "edge/lan_firewall.h"
#include "edge/radvd_config.h"
#include "edge/reconcile.h"
#include "edge/system_actions.h"
#include "edge/text.h"

#include <syslog.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace {

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

// The text radvd is given, for the LANs that can be advertised now, and
// whether the file in use holds it already.
void radvd_facts(const char* tun, const tunnel_plan* shown, int tunnel_up,
                 const prefix_history& history, lan_facts* facts, char* text, size_t size)
{
    radvd_config(shown, tunnel_up, history, tun, text, size, facts->forwarding == 1);
    char path[128], unit[64];
    static char in_use[radvd_text_size];
    radvd_config_path(tun, path, sizeof path);
    radvd_unit(tun, unit, sizeof unit);
    const int found = read_text_file(path, in_use, sizeof in_use);
    facts->radvd_installed = program_installed("radvd");
    facts->radvd_wanted = text[0] != '\0';
    facts->radvd_current = text[0] == '\0' ? found == 0 : found == 1 && std::strcmp(in_use, text) == 0;
    facts->radvd_active = unit_active(unit);
}

// Gives radvd the text: stops it when there is nothing to hear, else
// replaces its file and reloads it when it runs, or starts it. 1 when the
// LAN hears it now.
int apply_radvd(const char* tun, const char* text, int active)
{
    char path[128], unit[64];
    radvd_config_path(tun, path, sizeof path);
    radvd_unit(tun, unit, sizeof unit);
    if (text[0] == '\0') {
        stop_radvd(tun);
        return 0;
    }
    // A reload of a file radvd refuses would end it: the file in use is
    // replaced only by one radvd has taken.
    const std::string candidate = std::string(path) + ".new";
    if (replace_file(candidate.c_str(), text, 0) == -1)
        return 0;
    if (check_radvd_config(candidate.c_str()) == -1) {
        syslog(LOG_ERR, "%s: radvd refused it; the LAN hears what it heard before", candidate.c_str());
        remove_file(candidate.c_str());
        return 0;
    }
    if (std::rename(candidate.c_str(), path) == -1) {
        syslog(LOG_ERR, "%s: rename: %m", path);
        remove_file(candidate.c_str());
        return 0;
    }
    // radvd advertises at once after a reload (SIGHUP); a restart would
    // first tell the hosts that the router is gone.
    return (active ? unit_signal(unit, "HUP") : unit_command("start", unit)) == 0;
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

// Adds what to the list of what was put back.
void note(std::string* done, const std::string& what)
{
    if (done != nullptr)
        *done += (done->empty() ? "" : ", ") + what;
}

// What is in place of the LAN, but radvd's part (which waits for the repairs).
void read_lan_facts(const char* tun, const tunnel_plan* plan, const prefix_history& history,
                    const char* exceptions, lan_facts* facts, char (*prefixes)[64],
                    char (*devs)[16], int* routes)
{
    for (int i = 0; plan != nullptr && i < plan->lan_count; ++i) {
        const lan_plan& lan = plan->lans[i];
        facts->lan_link[i] = link_state(lan.name);
        facts->lan_address[i] = address_in_place(lan.name, lan.address);
    }
    facts->unreachable = plan != nullptr && plan->unreachable[0] != '\0' &&
                         route_in_place(plan->unreachable, "unreachable");
    *routes = routes_with_metric(stale_route_metric, prefixes, devs, max_history * 2);
    for (int i = 0; i < history.count; ++i) {
        const prefix_record& r = history.records[i];
        facts->stale_link[i] = link_state(r.lan);
        for (int k = 0; k < *routes; ++k)
            if (std::strcmp(prefixes[k], r.prefix) == 0 && std::strcmp(devs[k], r.lan) == 0)
                facts->stale_route[i] = 1;
    }
    facts->forwarding = forwarding_on();
    static char text[firewall_text_size], in_use[firewall_text_size];
    char path[128], table[32];
    facts->table_wanted = firewall_text(plan, history, tun, exceptions, text, sizeof text);
    firewall_path(tun, path, sizeof path);
    firewall_table_name(tun, table, sizeof table);
    facts->nft_installed = program_installed("nft");
    const int found = read_text_file(path, in_use, sizeof in_use);
    // The file of a table that is gone is removed after it.
    facts->table_current = facts->table_wanted ? found == 1 && std::strcmp(in_use, text) == 0
                                               : found == 0;
    facts->table_loaded = facts->nft_installed && table_loaded(table);
    char unit[64];
    watch_unit(tun, unit, sizeof unit);
    facts->watcher_active = unit_active(unit);
}

// The edge's address in a stale prefix is gone, and with it the route to the
// hosts still sending from it: without one of its own, the answer that
// tells them so would follow the domain route into the tunnel. The routes
// of records gone from the history are found in place: an event killed
// before it removed them leaves them to the next.
void route_stale_prefixes(const prefix_history& history, const lan_repairs& r,
                          char (*prefixes)[64], char (*devs)[16], int routes, std::string* done)
{
    for (int i = 0; i < history.count; ++i) {
        if (!r.stale_route[i])
            continue;
        const prefix_record& p = history.records[i];
        const char* args[] = {"route", "replace", p.prefix, "dev", p.lan, "proto", "static",
                              "metric", stale_route_metric, nullptr};
        if (run_ip(args, 0) == 0)
            note(done, std::string("the route to the stale prefix ") + p.prefix + " on " + p.lan);
    }
    for (int k = 0; k < routes; ++k)
        if (!stale_route_wanted(history, prefixes[k], devs[k])) {
            const char* args[] = {"route", "del", prefixes[k], "dev", devs[k], "proto", "static",
                                  "metric", stale_route_metric, nullptr};
            run_ip(args, 1);
        }
}

// The LAN addresses and the unreachable route; facts learns what is there now.
void put_lan_addresses(const tunnel_plan* plan, const lan_repairs& r, lan_facts* facts,
                       std::string* done)
{
    for (int i = 0; plan != nullptr && i < plan->lan_count; ++i) {
        const lan_plan& lan = plan->lans[i];
        // A link that goes down and up keeps its address; where that can't
        // be set (a read-only /proc/sys) the link watcher puts it back.
        if (r.lan_keep[i])
            keep_addresses_on_down(lan.name);
        if (!r.lan_address[i])
            continue;
        const char* args[] = {"addr", "replace", lan.address, "dev", lan.name, nullptr};
        if (run_ip(args, 0) == 0) {
            facts->lan_address[i] = 1;
            note(done, std::string("the address ") + lan.address + " on " + lan.name);
        }
    }
    if (r.unreachable) {
        const char* args[] = {"route", "replace", "unreachable", plan->unreachable, nullptr};
        if (run_ip(args, 0) == 0)
            note(done, std::string("the unreachable route to ") + plan->unreachable);
    }
}

// Not before the tunnel is up: until then this host is no router.
void put_forwarding(lan_facts* facts, std::string* done)
{
    const int turned = turn_on_forwarding();
    if (turned >= 0)
        facts->forwarding = 1;
    if (turned == 1) {
        syslog(LOG_NOTICE, "IPv6 forwarding turned on for the LAN (net.ipv6.conf.all.forwarding = 1)");
        note(done, "IPv6 forwarding");
    }
    // Some containers see /proc/sys read-only; forwarding turned on from
    // outside is seen by the link watcher, and the LAN hears its router.
    if (turned == -1)
        syslog(LOG_ERR, "IPv6 forwarding is off and can't be turned on from here: the LAN hears "
                        "that this host is no default router until it is turned on "
                        "(net.ipv6.conf.all.forwarding = 1, from outside a container)");
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

int apply_lan(const char* tun, const tunnel_plan* plan, int tunnel_up, const char* exceptions,
              int reload_table, std::string* put_back)
{
    const prefix_history old = read_history();
    const prefix_history history = next_history(old, plan, static_cast<long long>(time(nullptr)));
    // Stored before any host hears of a prefix: one forgotten in a power cut
    // would never be withdrawn.
    if (!same_history(old, history))
        write_history(history);

    lan_facts facts{};
    static char prefixes[max_history * 2][64], devs[max_history * 2][16];
    int routes = 0;
    read_lan_facts(tun, plan, history, exceptions, &facts, prefixes, devs, &routes);
    const lan_repairs r = decide_repairs(plan, tunnel_up, history, facts);
    std::string done;

    // The table before anything opens the LAN to the tunnel: forwarding and
    // the advertisements that make this host the LAN's router.
    if (r.table || reload_table || (!facts.nft_installed && facts.table_wanted && !put_back)) {
        apply_firewall(tun, plan, history, exceptions);
        char table[32];
        firewall_table_name(tun, table, sizeof table);
        if (facts.table_wanted && !facts.table_loaded && facts.nft_installed)
            note(&done, std::string("the table ip6 ") + table);
    }
    put_lan_addresses(plan, r, &facts, &done);
    route_stale_prefixes(history, r, prefixes, devs, routes, &done);
    if (r.forwarding)
        put_forwarding(&facts, &done);

    // What radvd says depends on what the repairs left in place.
    static char text[radvd_text_size];
    static tunnel_plan shown;
    if (plan != nullptr)
        shown = advertised_lans(*plan, facts);
    radvd_facts(tun, plan != nullptr ? &shown : nullptr, tunnel_up, history, &facts, text,
                sizeof text);
    const lan_repairs told = decide_repairs(plan, tunnel_up, history, facts);
    char unit[64];
    radvd_unit(tun, unit, sizeof unit);
    if (!facts.radvd_installed && facts.radvd_wanted && !put_back)
        syslog(LOG_ERR, "radvd is not installed: the LAN hears no router advertisements and its "
                        "hosts get no IPv6 address (install radvd)");
    if ((told.radvd_config || told.radvd_start) && apply_radvd(tun, text, facts.radvd_active)) {
        log_advertisements(unit, plan != nullptr ? &shown : nullptr,
                           tunnel_up && facts.forwarding == 1, history);
        if (!facts.radvd_active)
            note(&done, unit);
    }

    if (r.watcher) {
        watch_unit(tun, unit, sizeof unit);
        if (unit_command("start", unit) == 0)
            note(&done, unit);
    }
    if (put_back != nullptr)
        *put_back = done;
    return 0;
}

void retire_lan(const char* tun)
{
    char unit[64];
    watch_unit(tun, unit, sizeof unit);
    if (unit_active(unit))
        unit_command("stop", unit);
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
