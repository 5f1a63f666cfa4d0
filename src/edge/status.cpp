// SPDX-License-Identifier: BSD-2-Clause
#include "edge/status.h"

#include "edge/env_file.h"
#include "edge/lan_apply.h"
#include "edge/lan_firewall.h"
#include "edge/lease_plan.h"
#include "edge/settings.h"
#include "edge/system_actions.h"
#include "edge/text.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

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

void print_advertisements(const char* tun, int found, const tunnel_plan& plan)
{
    char unit[64], path[128];
    radvd_unit(tun, unit, sizeof unit);
    up_path(tun, path, sizeof path);
    const bool up = access(path, F_OK) == 0;
    const prefix_history history = read_history();
    if (!program_installed("radvd")) {
        row("advertisements", "NONE: radvd is not installed");
    } else {
        std::string say = std::string(unit) + ": " + unit_state(unit, nullptr);
        if (found == 1 && plan.lan_count > 0)
            say += up ? "; this host is the default router (router lifetime " +
                            std::to_string(router_lifetime) + " s)"
                      : "; no default router: the tunnel is not up";
        row("advertisements", say);
    }
    const long long now = static_cast<long long>(time(nullptr));
    for (int i = 0; i < history.count; ++i) {
        const prefix_record& r = history.records[i];
        char line[160];
        if (r.stale_until == 0)
            std::snprintf(line, sizeof line, "%s on %s (valid %d s, preferred %d s)", r.prefix,
                          r.lan, lan_valid_lifetime, up ? lan_preferred_lifetime : 0);
        else
            std::snprintf(line, sizeof line,
                          "%s on %s, announced with zero lifetimes for %lld s more", r.prefix,
                          r.lan, r.stale_until > now ? r.stale_until - now : 0);
        row(r.stale_until == 0 ? "  in force" : "  stale", line);
    }
}

void print_firewall(const char* tun, int found, const tunnel_plan& plan, const char* exceptions)
{
    char table[32];
    firewall_table_name(tun, table, sizeof table);
    if (!program_installed("nft")) {
        row("firewall", "NONE: nft is not installed");
        return;
    }
    const char* argv[] = {"nft", "list", "table", "ip6", table, nullptr};
    int status = 0;
    capture(argv, &status);
    std::string say = std::string("table ip6 ") + table + ": " + (status == 0 ? "in place" : "none");
    if (found == 1 && plan.lan_count > 0)
        say += plan.lan_firewall
                   ? std::string(", the LAN shielded from the tunnel; the operator's rules: ") +
                         exceptions
                   : ", no firewall (lan_firewall = no)";
    row("firewall", say);
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
    if (found == 0) {
        row("lease", "none: no lease with option 212 has brought the tunnel up");
    } else if (found == -1) {
        row("lease", "unknown: the environment file is damaged (the next lease event replaces it)");
    } else {
        const char* r = std::strstr(plan.options, "-r ");
        row("lease", std::string(plan.uplink) + ": address " + plan.my_v4 +
                         ", option 212: IPv4MaskLen " + (r != nullptr ? r + 3 : "0") +
                         ", 6rdPrefix " + plan.prefix + ", relay " + plan.relay);
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
            row(plan.lans[i].name, std::string(plan.lans[i].prefix) + ", address " +
                                       plan.lans[i].address + ": " +
                                       in_place(address_in_place(plan.lans[i].name,
                                                                 plan.lans[i].address)));
        if (plan.unreachable[0] != '\0')
            row("unreachable", std::string(plan.unreachable) + ": " +
                                   in_place(route_in_place(plan.unreachable, "unreachable")));
    }
    const int forwarding = forwarding_on();
    row("forwarding", forwarding == 1 ? "on" : forwarding == 0 ? "off" : "unknown");
    print_advertisements(tun, found, plan);
    print_firewall(tun, found, plan, exceptions.c_str());
    row("counters", state.rfind("active", 0) == 0 ? counters(unit) : "none: the daemon does not run");
    return 0;
}

int show_lease(const char* settings_path, const char* leased_v4, const char* const* words, int count)
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
    for (int i = 0; i < plan.lan_count; ++i)
        std::printf("%-17s %s\n", plan.lans[i].name, plan.lans[i].address);
    if (plan.unreachable[0] != '\0')
        std::printf("unreachable       %s\n", plan.unreachable);
    return 0;
}

