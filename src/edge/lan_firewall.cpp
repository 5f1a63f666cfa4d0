// SPDX-License-Identifier: BSD-2-Clause
#include "edge/lan_firewall.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// ICMPv6 that connections and the path MTU depend on, and ping: what a
// firewall must let through whoever started it.
const char kept_icmpv6[] = "destination-unreachable, packet-too-big, time-exceeded, "
                           "parameter-problem, echo-request, echo-reply";

std::string quoted_list(const std::string& items)
{
    return "{ " + items + " }";
}

}  // namespace

void firewall_table_name(const char* tun, char* out, size_t size)
{
    std::snprintf(out, size, "ferrin-%s", tun);
}

int firewall_text(const tunnel_plan* plan, const prefix_history& history, const char* tun,
                  const char* exceptions, char* out, size_t size)
{
    char name[32];
    firewall_table_name(tun, name, sizeof name);
    // Made first, so that the delete finds a table even on the first run.
    std::string text = "# The LAN's table of tunnel " + std::string(tun) +
                       ", written by ferrin-6rd and replaced whole at every\n"
                       "# change; see ferrin-6rd(8).\n"
                       "table ip6 " + name + "\ndelete table ip6 " + name + "\n";

    std::string lans;
    for (int i = 0; plan != nullptr && i < plan->lan_count; ++i)
        lans += std::string(lans.empty() ? "" : ", ") + "\"" + plan->lans[i].name + "\"";
    std::string stale_rules;
    for (int i = 0; i < history.count; ++i) {
        const prefix_record& r = history.records[i];
        if (r.stale_until != 0)
            stale_rules += std::string("        iifname \"") + r.lan + "\" ip6 saddr " + r.prefix +
                           " reject with icmpv6 type policy-fail\n";
    }
    const bool wanted = !lans.empty() || !stale_rules.empty();
    if (wanted) {
        text += "table ip6 " + std::string(name) +
                " {\n"
                "    chain forward {\n"
                "        type filter hook forward priority filter; policy accept;\n" +
                stale_rules;
        if (!lans.empty()) {
            text += std::string("        oifname \"") + tun +
                    "\" tcp flags syn tcp option maxseg size set rt mtu\n";
            if (plan->lan_firewall)
                text += std::string("        iifname \"") + tun + "\" oifname " +
                        quoted_list(lans) + " jump from_tunnel\n";
        }
        text += "    }\n";
        if (!lans.empty() && plan->lan_firewall)
            text += std::string("    chain from_tunnel {\n"
                                "        ct state established,related accept\n"
                                "        icmpv6 type ") +
                    quoted_list(kept_icmpv6) +
                    " accept\n"
                    "        meta l4proto { esp, ah } accept\n"
                    "        udp dport { 500, 4500 } accept\n"
                    "        include \"" +
                    exceptions +
                    "\"\n"
                    "        drop\n"
                    "    }\n";
        text += "}\n";
    }
    std::snprintf(out, size, "%s", text.c_str());
    return wanted ? 1 : 0;
}
