// SPDX-License-Identifier: BSD-2-Clause
#include "edge/lan_apply.h"

#include "edge/env_file.h"
#include "edge/lan_firewall.h"
#include "edge/radvd_config.h"
#include "edge/reconcile.h"
#include "edge/system_actions.h"
#include "edge/text.h"

#include <glob.h>
#include <sys/stat.h>
#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

void stop_radvd(const char* tun)
{
    char path[128], unit[64];
    radvd_unit(tun, unit, sizeof unit);
    if (unit_active(unit))
        unit_command("stop", unit);
    radvd_config_path(tun, path, sizeof path);
    remove_file(path);
    // Where an earlier version kept it: left there, it would name a tunnel
    // in place for good.
    for (const char* legacy : {".radvd.conf", ".radvd.conf.new"}) {
        std::snprintf(path, sizeof path, "%s/%s%s", state_dir, tun, legacy);
        remove_file(path);
    }
}


// 1 when the file at path holds text already; a file that is missing holds
// an empty history.
bool holds(const char* path, const char* text, const char* empty)
{
    // A folder (or anything but a file) is not read here: the write that
    // follows says why it fails.
    struct stat info;
    if (stat(path, &info) == 0 && !S_ISREG(info.st_mode))
        return false;
    static char now[history_text_size];
    const int found = read_text_file(path, now, sizeof now);
    return found == 1 ? std::strcmp(now, text) == 0 : found == 0 && std::strcmp(text, empty) == 0;
}

// Writes what changed of the two copies: /var/lib first, durably (a prefix
// forgotten in a power cut would never be withdrawn), then /run, which the
// next event reads and which says when /var/lib is behind. -1 when /var/lib
// could not be written (the stale prefixes are then announced from /run).
int write_history(const prefix_history& history)
{
    char text[history_text_size];
    format_history(history, text, sizeof text);
    char empty[history_text_size];
    format_history(prefix_history{}, empty, sizeof empty);
    std::string why;
    if (!holds(history_path, text, empty) && replace_file(history_path, text, 1) == -1)
        why = std::strerror(errno);
    std::string run(text);
    if (!why.empty())
        run += std::string(not_stored_mark) + history_path + ": " + why + "\n";
    const bool run_written = holds(run_history_path, run.c_str(), empty) ||
                             replace_file(run_history_path, run.c_str(), 0) == 0;
    if (why.empty())
        return run_written ? 0 : -1;
    syslog(LOG_ERR,
           "%s: the prefix history can't be stored (%s): the stale prefixes are announced from %s, "
           "which a reboot empties; a reboot within 90 minutes leaves hosts on them unwarned",
           history_path, why.c_str(), run_written ? run_history_path : "memory only");
    return -1;
}

// One line for the log: what the LANs hear now.
void log_advertisements(const char* unit, const tunnel_plan* plan, int tunnel_up,
                        const prefix_history& history)
{
    std::string said;
    for (int i = 0; plan != nullptr && tunnel_up && i < plan->lan_count; ++i)
        add_to_list(&said, std::string(plan->lans[i].prefix) + " on " + plan->lans[i].name);
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

// The operator's files a pattern names, one a line, in nft's order; a
// name nft's include could not take is left out at once, with a word why.
std::string files_of(const char* pattern, std::string* left_out)
{
    std::string files;
    glob_t found{};
    if (glob(pattern, 0, nullptr, &found) == 0)
        for (size_t i = 0; i < found.gl_pathc; ++i) {
            const char* file = found.gl_pathv[i];
            if (std::strpbrk(file, "\"\n") != nullptr) {
                syslog(LOG_ERR, "%s: a quote or newline in its name, which nft's include can't "
                                "take; left out", file);
                *left_out += std::string(file) + "\n";
            } else {
                files += std::string(file) + "\n";
            }
        }
    globfree(&found);
    return files;
}

// The lines of a list that files_of makes.
std::vector<std::string> lines_of(const std::string& list)
{
    std::vector<std::string> lines;
    for (size_t at = 0; at < list.size();) {
        const size_t end = list.find('\n', at);
        lines.push_back(list.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// Loads text, with the names of the operator's files left out at its head
// (status reads them there). 0, or -1 after logging.
int load_firewall(const char* path, const char* text, const std::string& left_out)
{
    std::string head;
    for (const std::string& file : lines_of(left_out))
        head += std::string(left_out_mark) + file + "\n";
    if (replace_file(path, (head + text).c_str(), 0) == -1)
        return -1;
    return load_nft_file(path);
}

// An operator's rule for one host's address breaks at each renumbering:
// said while the old /64 is stale, the hours when it matters.
void warn_of_stale_addresses(const char* exceptions, const prefix_history& history)
{
    if (stale_count(history) == 0)
        return;
    std::string ignored;
    const std::string files = files_of(exceptions, &ignored);
    for (const std::string& file : lines_of(files)) {
        static char text[65536];
        std::string address, prefix;
        if (read_text_file(file.c_str(), text, sizeof text) == 1 &&
            stale_address_in(text, history, &address, &prefix))
            syslog(LOG_WARNING, "%s: names %s, in the stale prefix %s: the rule no longer matches "
                                "its host; match the interface identifier instead (see "
                                "ferrin-6rd(8))", file.c_str(), address.c_str(), prefix.c_str());
    }
}

void apply_firewall(const char* tun, const tunnel_plan* plan, const prefix_history& history,
                    const char* exceptions)
{
    warn_of_stale_addresses(exceptions, history);
    static char text[firewall_text_size];
    char edge[256];
    edge_exceptions_pattern(exceptions, edge, sizeof edge);
    int wanted = firewall_text(plan, history, tun, {exceptions, edge}, text, sizeof text);
    if (wanted == -1)
        syslog(LOG_ERR, "the table of %s is longer than %zu bytes", tun, sizeof text);
    if (!program_installed("nft")) {
        if (wanted)
            syslog(LOG_ERR, "nft is not installed: the LAN has no firewall, and hosts on a stale "
                            "prefix are not told so (install nftables)");
        return;
    }
    char path[128], table[32];
    firewall_path(tun, path, sizeof path);
    firewall_table_name(tun, table, sizeof table);
    const char* shielded =
        plan == nullptr || plan->lan_count == 0 ? "only stale prefixes refused"
        : plan->lan_firewall                    ? "the LAN and this host are shielded from the tunnel"
                                                : "no firewall (lan_firewall = no)";
    if (wanted == 0) {
        if (load_firewall(path, text, "") == 0)
            remove_file(path);
        return;
    }
    if (wanted == 1 && load_firewall(path, text, "") == 0) {
        syslog(LOG_INFO, "table ip6 %s in place: %s", table, shielded);
        return;
    }
    // nft takes the whole text or nothing: a typo in one of the operator's
    // files must not leave the LAN open. Each file is tried alone, and the
    // table loaded with those nft takes, or else with none of them.
    std::string left_out;
    const std::string lan_files = files_of(exceptions, &left_out);
    const std::string edge_files = files_of(edge, &left_out);
    std::string lan_good, edge_good;
    const std::string check = std::string(path) + ".check";
    for (const std::string* files : {&lan_files, &edge_files})
        for (const std::string& file : lines_of(*files)) {
            // Only a text that could be made is tried file by file.
            if (wanted != 1)
                break;
            const bool lan = files == &lan_files;
            static char one[firewall_text_size];
            const firewall_includes alone = {lan ? file.c_str() : "", lan ? "" : file.c_str()};
            if (firewall_text(plan, history, tun, alone, one, sizeof one) == 1 &&
                replace_file(check.c_str(), one, 0) == 0 && check_nft_file(check.c_str()) == 0) {
                (lan ? lan_good : edge_good) += file + "\n";
            } else {
                syslog(LOG_ERR, "%s: refused by nft (its message comes before); the table is "
                                "loaded without it", file.c_str());
                left_out += file + "\n";
            }
        }
    remove_file(check.c_str());
    if (firewall_text(plan, history, tun, {lan_good.c_str(), edge_good.c_str()}, text,
                      sizeof text) == 1 &&
        load_firewall(path, text, left_out) == 0) {
        if (left_out.empty())
            syslog(LOG_INFO, "table ip6 %s in place: %s", table, shielded);
        else
            syslog(LOG_WARNING,
                   "table ip6 %s in place without the operator's files nft refused: %s", table,
                   shielded);
        return;
    }
    if (firewall_text(plan, history, tun, {"", ""}, text, sizeof text) == 1 &&
        load_firewall(path, text, lan_files + edge_files + left_out) == 0) {
        syslog(LOG_WARNING, "table ip6 %s in place without any of the operator's files: %s", table,
               shielded);
        return;
    }
    syslog(LOG_ERR, "table ip6 %s: not loaded; the LAN and this host are not shielded from the "
                    "tunnel", table);
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
    char path[128], table[32], edge[256];
    edge_exceptions_pattern(exceptions, edge, sizeof edge);
    // A text too long to make is wanted all the same: apply_firewall says why
    // it can't be loaded.
    facts->table_wanted =
        firewall_text(plan, history, tun, {exceptions, edge}, text, sizeof text) != 0;
    firewall_path(tun, path, sizeof path);
    firewall_table_name(tun, table, sizeof table);
    facts->nft_installed = program_installed("nft");
    const int found = read_text_file(path, in_use, sizeof in_use);
    // The file of a table that is gone is removed after it. A table loaded
    // without an operator's file nft refused is never current: each event
    // tries the file again, and says so while it is still refused.
    facts->table_current = facts->table_wanted ? found == 1 && std::strcmp(in_use, text) == 0
                                               : found == 0;
    facts->table_loaded = facts->nft_installed && table_loaded(table);
    char unit[64];
    watch_unit(tun, unit, sizeof unit);
    facts->watcher_active = unit_active(unit);
}

void remove_stale_route(const char* prefix, const char* dev)
{
    const char* args[] = {"route", "del", prefix, "dev", dev, "proto", "static", "metric",
                          stale_route_metric, nullptr};
    run_ip(args, 1);
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
            add_to_list(done, std::string("the route to the stale prefix ") + p.prefix + " on " + p.lan);
    }
    for (int k = 0; k < routes; ++k)
        if (!stale_route_wanted(history, prefixes[k], devs[k]))
            remove_stale_route(prefixes[k], devs[k]);
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
            add_to_list(done, std::string("the address ") + lan.address + " on " + lan.name);
        }
    }
    if (r.unreachable) {
        const char* args[] = {"route", "replace", "unreachable", plan->unreachable, nullptr};
        if (run_ip(args, 0) == 0)
            add_to_list(done, std::string("the unreachable route to ") + plan->unreachable);
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
        add_to_list(done, "IPv6 forwarding");
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
    // The copy in /run first: since the boot it is the newer one, and the
    // only one when /var/lib can't be written.
    const int run = read_text_file(run_history_path, text, sizeof text);
    if (run == 1 && parse_history(text, run_history_path, &history) == 0)
        return history;
    if (run != 0)
        syslog(LOG_ERR, "%s: damaged; the prefix history is read from %s", run_history_path,
               history_path);
    const int found = read_text_file(history_path, text, sizeof text);
    if (found == 1 && parse_history(text, history_path, &history) == 0)
        return history;
    if (found != 0)
        syslog(LOG_ERR, "%s: damaged; prefixes withdrawn before are no longer announced",
               history_path);
    return prefix_history{};
}

int apply_lan(const char* tun, const tunnel_plan* plan, int tunnel_up, const char* exceptions,
              int reload_table, std::string* put_back)
{
    const prefix_history old = read_history();
    const prefix_history history = next_history(old, plan, static_cast<long long>(time(nullptr)));
    // Stored before any host hears of a prefix: one forgotten in a power cut
    // would never be withdrawn. Also when nothing changed: a copy an earlier
    // event could not write is written now.
    const int stored = write_history(history);

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
            add_to_list(&done, std::string("the table ip6 ") + table);
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
            add_to_list(&done, unit);
    }

    if (r.watcher) {
        watch_unit(tun, unit, sizeof unit);
        if (unit_command("start", unit) == 0)
            add_to_list(&done, unit);
    }
    if (put_back != nullptr)
        *put_back = done;
    return stored;
}

void remove_stale_routes()
{
    static char prefixes[max_history * 2][64], devs[max_history * 2][16];
    const int count = routes_with_metric(stale_route_metric, prefixes, devs, max_history * 2);
    for (int i = 0; i < count; ++i)
        remove_stale_route(prefixes[i], devs[i]);
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
    // A folder of their own: radvd's unit sees it and nothing else of the state.
    std::snprintf(out, size, "%s/radvd/%s.conf", state_dir, tun);
}

void firewall_path(const char* tun, char* out, size_t size)
{
    std::snprintf(out, size, "%s/%s.nft", state_dir, tun);
}
