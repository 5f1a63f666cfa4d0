// SPDX-License-Identifier: BSD-2-Clause
// What the LAN hears and what its firewall lets through, as texts made from
// a plan and the prefix history.
#include "edge/lan_firewall.h"
#include "edge/lease_plan.h"
#include "edge/prefix_history.h"
#include "edge/radvd_config.h"
#include "edge/text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

// A /56 site (192.0.2.1, 8 common bits) with the LANs given, or with the
// address given instead (192.0.2.2: the ISP renumbered it).
tunnel_plan plan_for(const char* lans, const char* v4 = "192.0.2.1")
{
    dhcp_settings settings;
    parse_settings((std::string("lan_interface = ") + lans + "\nlan_dns = 2001:db8::53").c_str(),
                   "dhcp.conf", &settings);
    const char* words[] = {"8 32 2001:db8:: 203.0.113.1"};
    sixrd_option option;
    parse_sixrd_option(words, 1, "eth0", &option);
    tunnel_plan plan;
    plan_tunnel(option, v4, "eth0", settings, &plan);
    return plan;
}

// Times of a clock that can be trusted: seconds after the package's build.
const long long T = clock_floor;

std::string records(const prefix_history& h)
{
    std::string text;
    for (int i = 0; i < h.count; ++i)
        text += std::string(text.empty() ? "" : "; ") + h.records[i].lan + " " +
                h.records[i].prefix +
                (h.records[i].stale_until ? " until " + std::to_string(h.records[i].stale_until - T)
                                          : "");
    return text;
}

prefix_history parsed(const std::string& text)
{
    prefix_history h;
    EXPECT_EQ(parse_history(text.c_str(), "prefixes", &h), 0) << text;
    return h;
}

std::string stale_line(const char* prefix, long long until)
{
    return std::string("stale eth1 ") + prefix + " " + std::to_string(until) + "\n";
}

TEST(PrefixHistory, APrefixLeftBehindStaysStaleForTheValidLifetime)
{
    const tunnel_plan first = plan_for("eth1 eth2");
    const tunnel_plan renumbered = plan_for("eth1 eth2", "192.0.2.2");
    const tunnel_plan one_lan = plan_for("eth1");
    prefix_history h{};
    struct Step {
        const char* what;
        const tunnel_plan* plan;
        long long now;
        const char* expected;
    };
    const Step steps[] = {
        {"the first lease", &first, 1000, "eth1 2001:db8:2:101::/64; eth2 2001:db8:2:102::/64"},
        {"a renewal", &first, 2000, "eth1 2001:db8:2:101::/64; eth2 2001:db8:2:102::/64"},
        {"a new address", &renumbered, 3000,
         "eth1 2001:db8:2:201::/64; eth2 2001:db8:2:202::/64; eth1 2001:db8:2:101::/64 until "
         "8400; eth2 2001:db8:2:102::/64 until 8400"},
        {"eth2 left out", &one_lan, 4000,
         "eth1 2001:db8:2:101::/64; eth1 2001:db8:2:201::/64 until 9400; eth2 "
         "2001:db8:2:202::/64 until 9400; eth2 2001:db8:2:102::/64 until 8400"},
        {"the lease ends", nullptr, 5000,
         "eth1 2001:db8:2:101::/64 until 10400; eth1 2001:db8:2:201::/64 until 9400; eth2 "
         "2001:db8:2:202::/64 until 9400; eth2 2001:db8:2:102::/64 until 8400"},
        {"past the first ends", nullptr, 9400, "eth1 2001:db8:2:101::/64 until 10400"},
        {"past the last", nullptr, 10400, ""},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        h = next_history(h, step.plan, T + step.now);
        EXPECT_EQ(records(h), step.expected);
        char text[history_text_size];
        format_history(h, text, sizeof text);
        prefix_history back;
        ASSERT_EQ(parse_history(text, "prefixes", &back), 0);
        EXPECT_TRUE(same_history(h, back));
    }
}

// Read back, a line is one the helper writes or the file is damaged: what it
// holds goes into radvd's and nftables' texts and ip's command lines.
TEST(PrefixHistory, ALineTheHelperDoesNotWriteDamagesTheFile)
{
    const char* const bad[] = {
        "current eth1 2001:db8:2:101::/56",
        "current eth1/x 2001:db8:2:101::/64",
        "current eth1\"}accept# 2001:db8:2:101::/64",
        "current on 2001:db8:2:101::/64",
        "current eth1 2001:db8:2:101::1/64",
        "current eth1 2001:DB8:2:101::/64",
        "current eth1 ff02::/64",
        "current eth1 2001:db8:2:101::/64 7",
        "stale eth1 2001:db8:2:101::/64",
        "stale eth1 2001:db8:2:101::/64 0",
        "stale eth1 2001:db8:2:101::/64 -5",
        "stale eth1 2001:db8:2:101::/64 9223372036854775807",
        "stale eth1 2001:db8:2:101::/64 99999999999999999999999",
        "stale eth1 2001:db8:2:101::/64 1e20",
        "stale eth1 2001:db8:2:101::/64 01796860393",
        "stale eth1 2001:db8:2:101::/64 +1796860393",
        "stale,eth1,2001:db8:2:101::/64,1796860393",
        "stale eth1 2001:db8:2:101::/64 \xA6",
        "gone eth1 2001:db8:2:101::/64",
    };
    for (const char* line : bad) {
        SCOPED_TRACE(line);
        prefix_history h;
        const std::string text = std::string("current eth2 2001:db8:2:102::/64\n") + line + "\n";
        EXPECT_EQ(parse_history(text.c_str(), "prefixes", &h), -1);
        EXPECT_EQ(h.count, 0);
    }
}

// When the list is full, the stale prefix that ends first gives way, also
// to one that ends later than it.
TEST(PrefixHistory, TheStalePrefixThatEndsFirstGivesWay)
{
    prefix_history h{};
    // 34 renumberings, one a minute: each leaves the /64 before it stale.
    for (int n = 0; n < 34; ++n) {
        const std::string v4 = "192.0.2." + std::to_string(10 + n);
        const tunnel_plan renumbered = plan_for("eth1", v4.c_str());
        h = next_history(h, &renumbered, T + 60 * n);
    }
    ASSERT_EQ(h.count, max_history);
    EXPECT_EQ(stale_count(h), max_history - 1);
    // Kept: the 31 latest to end, those of the last 31 renumberings.
    long long first_end = 0;
    for (int i = 0; i < h.count; ++i)
        if (const long long until = h.records[i].stale_until;
            until != 0 && (first_end == 0 || until < first_end))
            first_end = until;
    EXPECT_EQ(first_end - T, 60 * 3 + lan_valid_lifetime);
}

// The wall clock: a record from a clock that was ahead ends no later than a
// prefix withdrawn now; one from a clock before the build starts afresh; a
// clock before the build drops nothing.
TEST(PrefixHistory, StaleTimesFollowAClockThatJumped)
{
    const tunnel_plan plan = plan_for("eth1");
    struct Case {
        const char* what;
        long long until;
        long long now;
        long long expected;  // -1: dropped
    };
    const Case cases[] = {
        {"inside its time", T + 5000, T + 1000, T + 5000},
        {"past its end", T + 5000, T + 5000, -1},
        {"written a year ahead", T + 365 * 86400LL, T + 1000, T + 1000 + lan_valid_lifetime},
        {"the largest time read", 999999999999LL, T, T + lan_valid_lifetime},
        {"written at 1970", 5400 + 30, T + 1000, T + 1000 + lan_valid_lifetime},
        {"now at 1970, ended long ago", T - 86400, 100, T - 86400},
        {"now at 1970, written then", 5400 + 30, 200, 5400 + 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const prefix_history old = parsed("current eth1 2001:db8:2:101::/64\n" +
                                          stale_line("2001:db8:2:a01::/64", c.until));
        const prefix_history h = next_history(old, &plan, c.now);
        EXPECT_EQ(stale_count(h), c.expected == -1 ? 0 : 1);
        if (c.expected != -1 && stale_count(h) == 1) {
            EXPECT_EQ(h.records[1].stale_until, c.expected);
        }
    }
    // A prefix withdrawn at 1970 is announced its whole time once the clock is right.
    prefix_history h = next_history(parsed("current eth1 2001:db8:2:a01::/64\n"), &plan, 30);
    h = next_history(h, &plan, T + 7200);
    EXPECT_EQ(records(h), "eth1 2001:db8:2:101::/64; eth1 2001:db8:2:a01::/64 until " +
                              std::to_string(7200 + lan_valid_lifetime));
}

TEST(RadvdConfig, UpTheLanHearsItsRouterDownThatItIsGone)
{
    const tunnel_plan plan = plan_for("eth1");
    prefix_history h = next_history(prefix_history{}, &plan, T + 1000);
    h = next_history(h, nullptr, T + 2000);
    h = next_history(h, &plan, T + 2100);  // the lease is back: nothing stale
    const tunnel_plan renumbered = plan_for("eth1", "192.0.2.2");
    h = next_history(h, &renumbered, T + 3000);

    char text[radvd_text_size];
    radvd_config(&renumbered, 1, h, "tun6rd0", text, sizeof text);
    EXPECT_EQ(std::string(text),
              "# Router advertisements for the LAN of tunnel tun6rd0, written by ferrin-6rd and\n"
              "# replaced at every change; see ferrin-6rd(8).\n"
              "\n"
              "interface eth1 {\n"
              "    AdvSendAdvert on;\n"
              "    IgnoreIfMissing on;\n"
              "    AdvDefaultLifetime 2700;\n"
              "    prefix 2001:db8:2:201::/64 {\n"
              "        AdvOnLink on;\n"
              "        AdvAutonomous on;\n"
              "        AdvValidLifetime 5400;\n"
              "        AdvPreferredLifetime 2700;\n"
              "    };\n"
              "    prefix 2001:db8:2:101::/64 {\n"
              "        AdvOnLink on;\n"
              "        AdvAutonomous on;\n"
              "        AdvValidLifetime 0;\n"
              "        AdvPreferredLifetime 0;\n"
              "    };\n"
              "    route 2001:db8:2:200::/56 {\n"
              "        AdvRouteLifetime 2700;\n"
              "    };\n"
              "    RDNSS 2001:db8::53 {\n"
              "        AdvRDNSSLifetime 1200;\n"
              "    };\n"
              "};\n");

    // Down: no default router, the /64 no longer preferred, no route, no DNS.
    radvd_config(&renumbered, 0, h, "tun6rd0", text, sizeof text);
    const std::string down(text);
    EXPECT_NE(down.find("AdvDefaultLifetime 0;"), std::string::npos);
    EXPECT_NE(down.find("2001:db8:2:201::/64 {\n        AdvOnLink on;\n        AdvAutonomous on;\n"
                        "        AdvValidLifetime 5400;\n        AdvPreferredLifetime 0;"),
              std::string::npos);
    EXPECT_EQ(down.find("route "), std::string::npos);
    EXPECT_EQ(down.find("RDNSS"), std::string::npos);

    // The lease ended: both prefixes stale on eth1, still heard.
    h = next_history(h, nullptr, T + 4000);
    radvd_config(nullptr, 0, h, "tun6rd0", text, sizeof text);
    EXPECT_NE(std::string(text).find("interface eth1 {"), std::string::npos);
    EXPECT_EQ(std::string(text).find("AdvValidLifetime 5400"), std::string::npos);

    // Nothing left to say: no radvd at all.
    h = next_history(h, nullptr, T + 9999999);
    radvd_config(nullptr, 0, h, "tun6rd0", text, sizeof text);
    EXPECT_STREQ(text, "");
}

TEST(LanFirewall, FromTheTunnelOnlyWhatTheLanAndTheEdgeAskedFor)
{
    tunnel_plan plan = plan_for("eth1 eth2");
    prefix_history h = next_history(prefix_history{}, &plan, T + 1000);
    h = next_history(h, nullptr, T + 2000);
    h = next_history(h, &plan, T + 2000);
    const tunnel_plan renumbered = plan_for("eth1", "192.0.2.2");
    h = next_history(h, &renumbered, T + 3000);
    plan = renumbered;

    char text[firewall_text_size];
    const firewall_includes operators = {"/etc/ferrin/lan-firewall.d/*.nft",
                                         "/etc/ferrin/edge-firewall.d/*.nft"};
    EXPECT_EQ(firewall_text(&plan, h, "tun6rd0", operators, text, sizeof text), 1);
    EXPECT_EQ(std::string(text),
              "# The LAN's table of tunnel tun6rd0, written by ferrin-6rd and replaced whole at "
              "every\n"
              "# change; see ferrin-6rd(8).\n"
              "table ip6 ferrin-tun6rd0\n"
              "delete table ip6 ferrin-tun6rd0\n"
              "table ip6 ferrin-tun6rd0 {\n"
              "    chain forward {\n"
              "        type filter hook forward priority filter; policy accept;\n"
              "        iifname \"eth1\" ip6 saddr 2001:db8:2:101::/64 reject with icmpv6 type "
              "policy-fail\n"
              "        iifname \"eth2\" ip6 saddr 2001:db8:2:102::/64 reject with icmpv6 type "
              "policy-fail\n"
              "        oifname \"tun6rd0\" tcp flags syn tcp option maxseg size set rt mtu\n"
              // eth2 is no LAN now, but its stale /64 still has its route there.
              "        iifname \"tun6rd0\" oifname { \"eth1\", \"eth2\" } jump from_tunnel\n"
              "    }\n"
              "    chain input {\n"
              "        type filter hook input priority filter; policy accept;\n"
              "        iifname \"tun6rd0\" jump to_edge\n"
              "    }\n"
              "    chain from_tunnel {\n"
              "        ct state established,related accept\n"
              "        icmpv6 type { destination-unreachable, packet-too-big, time-exceeded, "
              "parameter-problem, echo-request, echo-reply } accept\n"
              "        meta l4proto { esp, ah } accept\n"
              "        udp dport { 500, 4500 } accept\n"
              "        include \"/etc/ferrin/lan-firewall.d/*.nft\"\n"
              "        drop\n"
              "    }\n"
              "    chain to_edge {\n"
              "        ct state established,related accept\n"
              "        icmpv6 type { destination-unreachable, packet-too-big, echo-request, "
              "echo-reply, mld-listener-query, mld-listener-report, mld-listener-done, "
              "nd-router-solicit, nd-router-advert, nd-neighbor-solicit, nd-neighbor-advert, "
              "ind-neighbor-solicit, ind-neighbor-advert, mld2-listener-report, 148, 149, 151, "
              "152, 153 } accept\n"
              "        icmpv6 type . icmpv6 code { time-exceeded . 0, parameter-problem . 1, "
              "parameter-problem . 2 } accept\n"
              "        include \"/etc/ferrin/edge-firewall.d/*.nft\"\n"
              "        drop\n"
              "    }\n"
              "}\n");

    // The operator's files nft took, each by name; none at all: still the shield.
    firewall_text(&plan, h, "tun6rd0", {"/x/lan-firewall.d/a.nft\n/x/lan-firewall.d/c.nft\n", ""},
                  text, sizeof text);
    EXPECT_NE(std::string(text).find("        include \"/x/lan-firewall.d/a.nft\"\n"
                                     "        include \"/x/lan-firewall.d/c.nft\"\n"
                                     "        drop\n"),
              std::string::npos);
    firewall_text(&plan, h, "tun6rd0", {"", ""}, text, sizeof text);
    EXPECT_EQ(std::string(text).find("include"), std::string::npos);
    EXPECT_NE(std::string(text).find("jump from_tunnel"), std::string::npos);
    EXPECT_NE(std::string(text).find("jump to_edge"), std::string::npos);

    plan.lan_firewall = 0;
    firewall_text(&plan, h, "tun6rd0", operators, text, sizeof text);
    EXPECT_EQ(std::string(text).find("from_tunnel"), std::string::npos);
    EXPECT_EQ(std::string(text).find("to_edge"), std::string::npos);
    EXPECT_NE(std::string(text).find("policy-fail"), std::string::npos);

    // No plan, stale prefixes only: nothing says the firewall is off.
    h = next_history(h, nullptr, T + 4000);
    firewall_text(nullptr, h, "tun6rd0", operators, text, sizeof text);
    EXPECT_NE(std::string(text).find("oifname { \"eth1\", \"eth2\" } jump from_tunnel"),
              std::string::npos);

    // No LAN and nothing stale: the text only removes the table.
    EXPECT_EQ(firewall_text(nullptr, prefix_history{}, "tun6rd0", operators, text, sizeof text), 0);
    EXPECT_EQ(std::string(text).find("{"), std::string::npos);
    EXPECT_NE(std::string(text).find("delete table ip6 ferrin-tun6rd0\n"), std::string::npos);

    // Too long for the room: nothing, and said so, never a table cut short.
    EXPECT_EQ(firewall_text(&plan, h, "tun6rd0", operators, text, 200), -1);
    EXPECT_STREQ(text, "");
    // A rule for one host's address, after the renumbering: said, with the prefix.
    std::string address, prefix;
    EXPECT_EQ(stale_address_in("ip6 daddr 2001:db8:2:101::10 tcp dport 22 accept\n", h, &address,
                               &prefix),
              1);
    EXPECT_EQ(address + " " + prefix, "2001:db8:2:101::10 2001:db8:2:101::/64");
    EXPECT_EQ(stale_address_in("ip6 daddr & ::ffff:ffff:ffff:ffff == ::10 accept\n"
                               "ip6 saddr { 2001:db8:99::5, 2001:db8:2:301::7 } accept\n",
                               h, &address, &prefix),
              0);
    char pattern[64];
    edge_exceptions_pattern("/etc/ferrin/lan-firewall.d/*.nft", pattern, sizeof pattern);
    EXPECT_STREQ(pattern, "/etc/ferrin/edge-firewall.d/*.nft");
}

}  // namespace
