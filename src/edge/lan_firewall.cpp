// SPDX-License-Identifier: BSD-2-Clause
#include "edge/lan_firewall.h"

#include "edge/text.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// ICMPv6 that connections and the path MTU depend on, and ping: what a
// firewall must let through to the LAN whoever started it (RFC 4890 4.3.1).
const char kept_icmpv6[] = "destination-unreachable, packet-too-big, time-exceeded, "
                           "parameter-problem, echo-request, echo-reply";

// What a node must accept addressed to itself (RFC 4890 4.4.1): the errors,
// ping, and neighbour discovery, multicast listener discovery and their
// kin, which the kernel checks for a hop limit of 255 or a link-local source.
const char edge_icmpv6[] =
    "destination-unreachable, packet-too-big, echo-request, echo-reply, mld-listener-query, "
    "mld-listener-report, mld-listener-done, nd-router-solicit, nd-router-advert, "
    "nd-neighbor-solicit, nd-neighbor-advert, ind-neighbor-solicit, ind-neighbor-advert, "
    "mld2-listener-report, 148, 149, 151, 152, 153";
const char edge_icmpv6_codes[] =
    "time-exceeded . 0, parameter-problem . 1, parameter-problem . 2";

std::string set_of(const std::string& items)
{
    return "{ " + items + " }";
}

// "include" lines for each target of list, one a line.
std::string include_lines(const char* list)
{
    std::string lines;
    for (const char* p = list; *p != '\0';) {
        const size_t length = std::strcspn(p, "\n");
        if (length > 0)
            lines += "        include \"" + std::string(p, length) + "\"\n";
        p += length;
        if (*p == '\n')
            ++p;
    }
    return lines;
}

}  // namespace

void firewall_table_name(const char* tun, char* out, size_t size)
{
    std::snprintf(out, size, "ferrin-%s", tun);
}

void edge_exceptions_pattern(const char* lan_pattern, char* out, size_t size)
{
    std::string pattern(lan_pattern);
    const size_t at = pattern.rfind("lan-firewall.d/");
    if (at != std::string::npos)
        pattern.replace(at, 3, "edge");
    std::snprintf(out, size, "%s", pattern.c_str());
}

int firewall_text(const tunnel_plan* plan, const prefix_history& history, const char* tun,
                  const firewall_includes& includes, char* out, size_t size)
{
    char name[32];
    firewall_table_name(tun, name, sizeof name);
    // Made first, so that the delete finds a table even on the first run.
    std::string text = "# The LAN's table of tunnel " + std::string(tun) +
                       ", written by ferrin-6rd and replaced whole at every\n"
                       "# change; see ferrin-6rd(8).\n"
                       "table ip6 " + name + "\ndelete table ip6 " + name + "\n";

    // The plan's LANs, then every other interface a prefix of the history
    // (in force a moment ago, or stale) has its route to.
    std::string lans, shielded;
    auto add = [](std::string* list, const char* lan) {
        const std::string quoted = std::string("\"") + lan + "\"";
        if ((", " + *list + ",").find(" " + quoted + ",") == std::string::npos)
            add_to_list(list, quoted);
    };
    for (int i = 0; plan != nullptr && i < plan->lan_count; ++i) {
        add(&lans, plan->lans[i].name);
        add(&shielded, plan->lans[i].name);
    }
    std::string stale_rules;
    for (int i = 0; i < history.count; ++i) {
        const prefix_record& r = history.records[i];
        add(&shielded, r.lan);
        if (r.stale_until != 0)
            stale_rules += std::string("        iifname \"") + r.lan + "\" ip6 saddr " + r.prefix +
                           " reject with icmpv6 type policy-fail\n";
    }
    const bool wanted = !lans.empty() || !stale_rules.empty();
    // Fails closed: without a plan nothing says the firewall is off.
    const bool shield = wanted && (plan == nullptr || plan->lan_firewall);
    if (wanted) {
        text += "table ip6 " + std::string(name) +
                " {\n"
                "    chain forward {\n"
                "        type filter hook forward priority filter; policy accept;\n" +
                stale_rules;
        if (!lans.empty())
            text += std::string("        oifname \"") + tun +
                    "\" tcp flags syn tcp option maxseg size set rt mtu\n";
        if (shield)
            text += std::string("        iifname \"") + tun + "\" oifname " + set_of(shielded) +
                    " jump from_tunnel\n";
        text += "    }\n";
        if (shield)
            text += std::string("    chain input {\n"
                                "        type filter hook input priority filter; policy accept;\n"
                                "        iifname \"") +
                    tun +
                    "\" jump to_edge\n"
                    "    }\n"
                    "    chain from_tunnel {\n"
                    "        ct state established,related accept\n"
                    "        icmpv6 type " +
                    set_of(kept_icmpv6) +
                    " accept\n"
                    "        meta l4proto { esp, ah } accept\n"
                    "        udp dport { 500, 4500 } accept\n" +
                    include_lines(includes.lan) +
                    "        drop\n"
                    "    }\n"
                    "    chain to_edge {\n"
                    "        ct state established,related accept\n"
                    "        icmpv6 type " +
                    set_of(edge_icmpv6) +
                    " accept\n"
                    "        icmpv6 type . icmpv6 code " +
                    set_of(edge_icmpv6_codes) + " accept\n" + include_lines(includes.edge) +
                    "        drop\n"
                    "    }\n";
        text += "}\n";
    }
    if (text.size() >= size) {
        out[0] = '\0';
        return -1;
    }
    std::memcpy(out, text.c_str(), text.size() + 1);
    return wanted ? 1 : 0;
}

int stale_address_in(const char* text, const prefix_history& history, std::string* address,
                     std::string* prefix)
{
    const char address_chars[] = "0123456789abcdefABCDEF:.";
    for (const char* p = text; *p != '\0';) {
        const size_t length = std::strspn(p, address_chars);
        const std::string word(p, length);
        p += length > 0 ? length : 1;
        in6_addr a{};
        if (word.find(':') == std::string::npos || inet_pton(AF_INET6, word.c_str(), &a) != 1)
            continue;
        for (int i = 0; i < history.count; ++i) {
            const prefix_record& r = history.records[i];
            const std::string bare(r.prefix, std::strcspn(r.prefix, "/"));
            in6_addr stale{};
            if (r.stale_until != 0 && inet_pton(AF_INET6, bare.c_str(), &stale) == 1 &&
                std::memcmp(a.s6_addr, stale.s6_addr, 8) == 0) {
                *address = word;
                *prefix = r.prefix;
                return 1;
            }
        }
    }
    return 0;
}
