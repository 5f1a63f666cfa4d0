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

std::string records(const prefix_history& h)
{
    std::string text;
    for (int i = 0; i < h.count; ++i)
        text += std::string(text.empty() ? "" : "; ") + h.records[i].lan + " " +
                h.records[i].prefix +
                (h.records[i].stale_until ? " until " + std::to_string(h.records[i].stale_until) : "");
    return text;
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
        h = next_history(h, step.plan, step.now);
        EXPECT_EQ(records(h), step.expected);
        char text[history_text_size];
        format_history(h, text, sizeof text);
        prefix_history back;
        ASSERT_EQ(parse_history(text, "prefixes", &back), 0);
        EXPECT_TRUE(same_history(h, back));
    }
    prefix_history bad;
    EXPECT_EQ(parse_history("current eth1 2001:db8:2:101::/56\n", "prefixes", &bad), -1);
    EXPECT_EQ(parse_history("current eth1/x 2001:db8:2:101::/64\n", "prefixes", &bad), -1);
    EXPECT_EQ(parse_history("stale eth1 2001:db8:2:101::/64\n", "prefixes", &bad), -1);
}

TEST(RadvdConfig, UpTheLanHearsItsRouterDownThatItIsGone)
{
    const tunnel_plan plan = plan_for("eth1");
    prefix_history h = next_history(prefix_history{}, &plan, 1000);
    h = next_history(h, nullptr, 2000);
    h = next_history(h, &plan, 2100);  // the lease is back: nothing stale
    const tunnel_plan renumbered = plan_for("eth1", "192.0.2.2");
    h = next_history(h, &renumbered, 3000);

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
              "        AdvRDNSSLifetime 2700;\n"
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
    h = next_history(h, nullptr, 4000);
    radvd_config(nullptr, 0, h, "tun6rd0", text, sizeof text);
    EXPECT_NE(std::string(text).find("interface eth1 {"), std::string::npos);
    EXPECT_EQ(std::string(text).find("AdvValidLifetime 5400"), std::string::npos);

    // Nothing left to say: no radvd at all.
    h = next_history(h, nullptr, 9999999);
    radvd_config(nullptr, 0, h, "tun6rd0", text, sizeof text);
    EXPECT_STREQ(text, "");
}

TEST(LanFirewall, FromTheTunnelOnlyWhatTheLanAskedFor)
{
    tunnel_plan plan = plan_for("eth1 eth2");
    prefix_history h = next_history(prefix_history{}, &plan, 1000);
    h = next_history(h, nullptr, 2000);
    h = next_history(h, &plan, 2000);
    const tunnel_plan renumbered = plan_for("eth1", "192.0.2.2");
    h = next_history(h, &renumbered, 3000);
    plan = renumbered;

    char text[firewall_text_size];
    EXPECT_EQ(firewall_text(&plan, h, "tun6rd0", "/etc/ferrin/lan-firewall.d/*.nft", text,
                            sizeof text),
              1);
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
              "        iifname \"tun6rd0\" oifname { \"eth1\" } jump from_tunnel\n"
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
              "}\n");

    plan.lan_firewall = 0;
    firewall_text(&plan, h, "tun6rd0", "x", text, sizeof text);
    EXPECT_EQ(std::string(text).find("from_tunnel"), std::string::npos);
    EXPECT_NE(std::string(text).find("policy-fail"), std::string::npos);

    // No LAN and nothing stale: the text only removes the table.
    EXPECT_EQ(firewall_text(nullptr, prefix_history{}, "tun6rd0", "x", text, sizeof text), 0);
    EXPECT_EQ(std::string(text).find("{"), std::string::npos);
    EXPECT_NE(std::string(text).find("delete table ip6 ferrin-tun6rd0\n"), std::string::npos);
}

}  // namespace
