// SPDX-License-Identifier: BSD-2-Clause
#include "edge/status.h"

#include "edge/domain_warning.h"
#include "edge/env_file.h"
#include "edge/lan_apply.h"
#include "edge/lan_firewall.h"
#include "edge/lease_plan.h"
#include "edge/lease_record.h"
#include "edge/radvd_config.h"
#include "edge/settings.h"
#include "edge/system_actions.h"
#include "edge/text.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr int counters_wait_ms = 3000;

void row(const char* label, const std::string& text)
{
    std::printf("%-17s %s\n", label, text.c_str());
}

std::string capture(const char* const* argv, int* status = nullptr)
{
    static char out[16384];
    const int result = run_capture(argv, out, sizeof out);
    if (status != nullptr)
        *status = result;
    return out;
}

// The value of one "Key=value" line of systemctl show.
std::string property(const std::string& text, const char* key)
{
    const std::string head = std::string(key) + "=";
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end == std::string::npos ? end : end - at);
        if (line.compare(0, head.size(), head) == 0)
            return line.substr(head.size());
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return "";
}

std::string unit_state(const char* unit, std::string* main_pid)
{
    const char* argv[] = {"systemctl", "show", "--property=ActiveState,SubState,MainPID", unit,
                          nullptr};
    int status = 0;
    const std::string out = capture(argv, &status);
    const std::string active = property(out, "ActiveState");
    if (status != 0 || active.empty())
        return "unknown: systemctl could not say";
    if (main_pid != nullptr)
        *main_pid = property(out, "MainPID");
    return active + " (" + property(out, "SubState") + ")";
}

const char* in_place(int yes)
{
    return yes ? "in place" : "MISSING";
}

// The daemon writes its counters to syslog when asked; the journal has them.
std::string counters(const char* unit)
{
    const std::string since = "--since=@" + std::to_string(static_cast<long long>(time(nullptr)) - 1);
    const char* ask[] = {"systemctl", "kill", "--kill-whom=main", "--signal=USR1", unit, nullptr};
    if (run_capture(ask, nullptr, 0) != 0)
        return "not available: the daemon could not be asked (systemctl kill)";
    const char* read[] = {"journalctl", "--unit", unit, "--output=cat", "--no-pager",
                          since.c_str(), nullptr};
    for (int waited = 0; waited < counters_wait_ms; waited += 100) {
        const std::string out = capture(read);
        const size_t at = out.rfind("Ipkts ");
        if (at != std::string::npos)
            return out.substr(at, out.find('\n', at) - at);
        usleep(100 * 1000);
    }
    return "not available: no statistics line in the journal within 3 seconds";
}

// Beyond this many, the stale prefixes are summed up in one line.
constexpr int stale_lines = 4;

// "2024-05-01 12:00:03 (3 min ago)", "... (in 40 min)".
std::string when(long long at, long long now)
{
    char text[32];
    const time_t t = static_cast<time_t>(at);
    tm local{};
    localtime_r(&t, &local);
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    const long long away = at > now ? at - now : now - at;
    const std::string span = away < 120 ? std::to_string(away) + " s" : std::to_string(away / 60) + " min";
    return std::string(text) + (at > now ? " (in " + span + ")" : " (" + span + " ago)");
}

void print_advertisements(const char* tun, int found, const tunnel_plan& plan,
                          const prefix_history& history, bool up, int forwarding)
{
    char unit[64];
    radvd_unit(tun, unit, sizeof unit);
    const int stale = stale_count(history);
    const bool installed = program_installed("radvd");
    const bool runs = installed && unit_active(unit);
    const bool lans = found == 1 && plan.lan_count > 0;
    if (!installed) {
        row("advertisements", "NONE: radvd is not installed");
    } else {
        std::string say = std::string(unit) + ": " + unit_state(unit, nullptr);
        if (!runs && (lans || stale > 0))
            say = "MISSING: " + say + "; the LAN hears nothing (the next lease event starts it)";
        else if (lans && up && forwarding == 1)
            say += "; this host is the default router (router lifetime " +
                   std::to_string(router_lifetime) + " s)";
        else if (lans && up)
            say += "; no default router: IPv6 forwarding is off";
        else if (lans)
            say += "; no default router: the tunnel is not up";
        row("advertisements", say);
    }
    const long long now = static_cast<long long>(time(nullptr));
    // "announced with zero lifetimes for 300 s more", or for how long it
    // would be while radvd does not run.
    auto heard = [runs](const std::string& span) {
        return runs ? "announced with zero lifetimes for " + span + " s more"
                    : "for " + span + " s more, not announced: radvd does not run";
    };
    long long last = 0;
    std::string where;
    for (int i = 0; i < history.count; ++i) {
        const prefix_record& r = history.records[i];
        char line[192];
        if (r.stale_until == 0) {
            std::snprintf(line, sizeof line, "%s on %s (valid %d s, preferred %d s)", r.prefix,
                          r.lan, lan_valid_lifetime, up ? lan_preferred_lifetime : 0);
            row("  in force", line);
            continue;
        }
        const long long left = r.stale_until > now ? r.stale_until - now : 0;
        last = left > last ? left : last;
        if (where.find(std::string(" ") + r.lan + ",") == std::string::npos)
            where += std::string(" ") + r.lan + ",";
        if (stale > stale_lines)
            continue;
        row("  stale", std::string(r.prefix) + " on " + r.lan + ", " + heard(std::to_string(left)));
    }
    if (stale > stale_lines)
        row("  stale", std::to_string(stale) + " prefixes on" + where.substr(0, where.size() - 1) +
                           ", " + heard("up to " + std::to_string(last)));
}

// What the last lease events said: when it came, and when it ends or ended.
std::string lease_times(const char* tun, int found)
{
    char path[128], text[lease_text_size];
    lease_record_path(tun, path, sizeof path);
    lease_record r{};
    if (read_text_file(path, text, sizeof text) != 1 || parse_lease_record(text, &r) == -1)
        return "";
    const long long now = static_cast<long long>(time(nullptr));
    if (found != 1 && r.ended != 0) {
        std::string ended = when(r.ended, now);
        if (r.why[0] != '\0')
            ended.insert(ended.size() - 1, std::string(", ") + r.why);
        return "the lease on " + std::string(r.uplink) + " ended " + ended;
    }
    if (found != 1 || r.renewed == 0)
        return "";
    std::string say = "; renewed " + when(r.renewed, now);
    if (r.lease_seconds > 0) {
        const long long expires = r.renewed + r.lease_seconds;
        const long long renew = r.renew_seconds > 0 ? r.renew_seconds : r.lease_seconds / 2;
        say += ", expires " + when(expires, now);
        // A client renews from its T1 on; a minute past it, something fails.
        if (now > r.renewed + renew + 60)
            say += "; FAILING: no renewal since its T1, " + std::to_string(renew) +
                   " s after the last";
    }
    return say;
}

// The lines of the file at path that start with mark, without it.
std::vector<std::string> marked_lines(const char* path, const char* mark)
{
    static char text[firewall_text_size + 4096];
    std::vector<std::string> lines;
    if (read_text_file(path, text, sizeof text) != 1)
        return lines;
    for (const char* p = text; *p != '\0';) {
        const char* next = nullptr;
        const char* end = line_end(p, &next);
        if (std::strncmp(p, mark, std::strlen(mark)) == 0)
            lines.emplace_back(p + std::strlen(mark), end);
        p = next;
    }
    return lines;
}

// The prefix history when /var/lib could not take it: the copy in /run says so.
void print_history()
{
    for (const std::string& line : marked_lines(run_history_path, not_stored_mark)) {
        const size_t colon = line.find(": ");
        row("history", "NOT STORED in " + line.substr(0, colon) + " (" +
                           (colon == std::string::npos ? "" : line.substr(colon + 2)) +
                           "): the stale prefixes are announced from " + run_history_path +
                           ", which a reboot empties");
    }
}

// The table as it is in the kernel, not as the last event meant it.
void print_firewall(const char* tun, int found, const tunnel_plan& plan,
                    const prefix_history& history, const char* exceptions)
{
    char table[32], path[128], edge[256];
    firewall_table_name(tun, table, sizeof table);
    firewall_path(tun, path, sizeof path);
    edge_exceptions_pattern(exceptions, edge, sizeof edge);
    if (!program_installed("nft")) {
        row("firewall", "NONE: nft is not installed");
        return;
    }
    const char* argv[] = {"nft", "list", "table", "ip6", table, nullptr};
    int status = 0;
    const std::string listed = capture(argv, &status);
    const bool loaded = status == 0;
    const bool lans = found == 1 && plan.lan_count > 0;
    const bool wanted = lans || stale_count(history) > 0 || access(path, F_OK) == 0;
    std::string say = std::string("table ip6 ") + table + ": " +
                      (loaded ? "in place" : wanted ? "MISSING" : "none");
    if (lans && !plan.lan_firewall)
        say += ", no firewall (lan_firewall = no)";
    else if (loaded && listed.find("jump from_tunnel") != std::string::npos &&
             listed.find("jump to_edge") != std::string::npos)
        say += std::string(", the LAN and this host shielded from the tunnel; the operator's "
                           "rules: ") +
               exceptions + " and " + edge;
    else if (lans)
        say += ", the LAN NOT shielded from the tunnel";
    row("firewall", say);
    for (const std::string& file : marked_lines(path, left_out_mark))
        row("  LEFT OUT", file + ": nft refused it (see the log); the table is in place without it");
}

}  // namespace

int print_status(const char* settings_path)
{
    dhcp_settings settings;
    if (read_settings(settings_path, &settings) == -1)
        return 1;
    static tunnel_plan plan;
    static char text[env_text_size];
    const char* tun = settings.tunnel;
    const int found = read_env(tun, &plan, text, sizeof text);
    const std::string exceptions = exceptions_pattern(settings_path);
    std::string lans;
    for (int i = 0; i < settings.lan_count; ++i)
        lans += std::string(i ? " " : "") + settings.lans[i].name;
    row("settings", std::string(settings_path) + ": uplink " +
                        (settings.uplink[0] ? settings.uplink : "any") + ", tunnel " + tun +
                        ", LAN " + (lans.empty() ? "none" : lans));
    const std::string times = lease_times(tun, found);
    if (found == 0) {
        row("lease", "none: " + (times.empty()
                                     ? std::string("no lease with option 212 has brought the "
                                                   "tunnel up")
                                     : times));
    } else if (found == -1) {
        row("lease", "unknown: the environment file is damaged (the next lease event replaces it)");
    } else {
        const char* r = std::strstr(plan.options, "-r ");
        row("lease", std::string(plan.uplink) + ": address " + plan.my_v4 +
                         ", option 212: IPv4MaskLen " + (r != nullptr ? r + 3 : "0") +
                         ", 6rdPrefix " + plan.prefix + ", relay " + plan.relay + times);
    }
    char unit[64];
    tunnel_unit(tun, unit, sizeof unit);
    std::string main_pid;
    const std::string state = unit_state(unit, &main_pid);
    row("tunnel", std::string(unit) + ": " + state +
                      (main_pid.empty() || main_pid == "0" ? "" : ", daemon PID " + main_pid));
    if (found == 1) {
        row("delegated prefix", plan.delegated);
        row(tun, std::string(plan.tun_address) + ": " +
                     in_place(address_in_place(tun, plan.tun_address)) + "; default route: " +
                     in_place(route_in_place("default", (std::string("dev ") + tun).c_str())));
        for (int i = 0; i < plan.lan_count; ++i)
            row(plan.lans[i].name,
                std::string(plan.lans[i].prefix) + ", address " + plan.lans[i].address + ": " +
                    (link_state(plan.lans[i].name) == 0
                         ? "MISSING: no such interface (it gets its address and advertisements "
                           "when it appears)"
                         : in_place(address_in_place(plan.lans[i].name, plan.lans[i].address))));
        if (plan.unreachable[0] != '\0')
            row("unreachable", std::string(plan.unreachable) + ": " +
                                   in_place(route_in_place(plan.unreachable, "unreachable")));
    }
    char path[128];
    up_path(tun, path, sizeof path);
    const bool up = found == 1 && access(path, F_OK) == 0;
    const bool routing = up && plan.lan_count > 0;
    const int forwarding = forwarding_on();
    row("forwarding", forwarding == 1   ? "on"
                      : !routing        ? (forwarding == 0 ? "off" : "unknown")
                      : forwarding == 0 ? "MISSING: off, so the LAN hears no default router"
                                        : "unknown: /proc/sys can't be read");
    if (routing) {
        char watcher[64];
        watch_unit(tun, watcher, sizeof watcher);
        const std::string links = std::string(watcher) + ": " + unit_state(watcher, nullptr);
        row("links", (unit_active(watcher) ? "" : "MISSING: ") + links);
    }
    const prefix_history history = read_history();
    print_advertisements(tun, found, plan, history, up, forwarding);
    print_firewall(tun, found, plan, history, exceptions.c_str());
    print_history();
    row("counters", state.rfind("active", 0) == 0 ? counters(unit) : "none: the daemon does not run");
    return 0;
}

int show_lease(const char* settings_path, bool radvd, const char* leased_v4,
               const char* const* words, int count)
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

