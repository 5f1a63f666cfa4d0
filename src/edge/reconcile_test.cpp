// SPDX-License-Identifier: BSD-2-Clause
// What a plan needs of the LAN against what is in place: what the events
// put back, and what radvd says while something is missing.
#include "edge/radvd_config.h"
#include "edge/reconcile.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// 192.0.2.1 with 8 common bits, a /56: lan0 gets 2001:db8:2:101::1/64, the
// rest of the /56 an unreachable route.
tunnel_plan plan_for(const char* lans)
{
    dhcp_settings settings;
    parse_settings((std::string("lan_interface = ") + lans).c_str(), "dhcp.conf", &settings);
    const char* words[] = {"8 32 2001:db8:: 203.0.113.1"};
    sixrd_option option;
    parse_sixrd_option(words, 1, "eth0", &option);
    tunnel_plan plan;
    plan_tunnel(option, "192.0.2.1", "eth0", settings, &plan);
    return plan;
}

// Everything as the plan asks: nothing to do.
lan_facts all_in_place()
{
    lan_facts f{};
    for (int i = 0; i < max_lans; ++i) {
        f.lan_link[i] = LINK_UP;
        f.lan_address[i] = 1;
    }
    for (int i = 0; i < max_history; ++i) {
        f.stale_link[i] = LINK_UP;
        f.stale_route[i] = 1;
    }
    f.unreachable = 1;
    f.forwarding = 1;
    f.nft_installed = f.table_wanted = f.table_current = f.table_loaded = 1;
    f.radvd_installed = f.radvd_wanted = f.radvd_current = f.radvd_active = 1;
    f.watcher_active = 1;
    return f;
}

// The repairs as words, in a fixed order.
std::string words(const lan_repairs& r, int lans, int records)
{
    std::string out;
    auto say = [&](bool yes, const std::string& what) {
        if (yes)
            out += (out.empty() ? "" : " ") + what;
    };
    for (int i = 0; i < lans; ++i)
        say(r.lan_address[i], "address" + std::to_string(i));
    say(r.unreachable, "unreachable");
    for (int i = 0; i < records; ++i)
        say(r.stale_route[i], "stale-route" + std::to_string(i));
    say(r.table, "table");
    say(r.forwarding, "forwarding");
    say(r.radvd_config, "radvd-config");
    say(r.radvd_start, "radvd-start");
    say(r.watcher, "watcher");
    return out;
}

TEST(Reconcile, PutsBackWhatIsMissingAndNothingElse)
{
    const tunnel_plan plan = plan_for("lan0 lan1");
    // lan0's old /64 is stale, on lan0.
    prefix_history history{};
    history.count = 1;
    history.records[0] = prefix_record{"lan0", "2001:db8:2:a01::/64", 9000};

    struct Case {
        const char* what;
        int tunnel_up;
        void (*change)(lan_facts*);
        const char* expected;
    };
    const Case cases[] = {
        {"all in place", 1, [](lan_facts*) {}, ""},
        {"all in place, the tunnel down", 0, [](lan_facts*) {}, ""},
        {"lan1 went down and came up without its address", 1,
         [](lan_facts* f) { f->lan_address[1] = 0; }, "address1"},
        {"lan1 is down, its address gone: put on, it comes back with the link", 1,
         [](lan_facts* f) { f->lan_link[1] = LINK_DOWN; f->lan_address[1] = 0; }, "address1"},
        {"lan1 is not there (yet): nothing to put it on", 1,
         [](lan_facts* f) { f->lan_link[1] = LINK_MISSING; f->lan_address[1] = 0; }, ""},
        {"the stale route went with lan0's link", 1, [](lan_facts* f) { f->stale_route[0] = 0; },
         "stale-route0"},
        {"no route through a link that is down", 1,
         [](lan_facts* f) { f->stale_route[0] = 0; f->stale_link[0] = LINK_DOWN; }, ""},
        {"the unreachable route deleted", 1, [](lan_facts* f) { f->unreachable = 0; },
         "unreachable"},
        {"the table deleted", 1, [](lan_facts* f) { f->table_loaded = 0; }, "table"},
        {"the table's file differs (a new plan)", 1, [](lan_facts* f) { f->table_current = 0; },
         "table"},
        {"nft not installed: nothing it could do", 1,
         [](lan_facts* f) { f->nft_installed = 0; f->table_loaded = 0; }, ""},
        {"no table wanted and none there", 1,
         [](lan_facts* f) { f->table_wanted = 0; f->table_loaded = 0; }, ""},
        {"no table wanted, one left behind", 1, [](lan_facts* f) { f->table_wanted = 0; },
         "table"},
        {"forwarding off, the tunnel up", 1, [](lan_facts* f) { f->forwarding = 0; },
         "forwarding"},
        {"forwarding off, the tunnel down: not turned on", 0,
         [](lan_facts* f) { f->forwarding = 0; }, ""},
        {"radvd's unit stopped or crashed", 1, [](lan_facts* f) { f->radvd_active = 0; },
         "radvd-start"},
        {"radvd installed after the lease: no file, no unit", 1,
         [](lan_facts* f) { f->radvd_current = 0; f->radvd_active = 0; }, "radvd-config"},
        {"radvd not installed", 1,
         [](lan_facts* f) { f->radvd_installed = 0; f->radvd_current = 0; f->radvd_active = 0; },
         ""},
        {"radvd runs with nothing to say", 1,
         [](lan_facts* f) { f->radvd_wanted = 0; f->radvd_current = 1; }, ""},
        {"the watcher stopped", 1, [](lan_facts* f) { f->watcher_active = 0; }, "watcher"},
        {"no watcher for a tunnel that is down", 0, [](lan_facts* f) { f->watcher_active = 0; },
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        lan_facts facts = all_in_place();
        c.change(&facts);
        EXPECT_EQ(words(decide_repairs(&plan, c.tunnel_up, history, facts), plan.lan_count,
                        history.count),
                  c.expected);
    }

    // Without a plan nothing of a LAN is wanted, only the stale prefixes' routes.
    lan_facts none = all_in_place();
    none.lan_address[0] = none.lan_address[1] = none.unreachable = none.forwarding = 0;
    none.watcher_active = 0;
    none.stale_route[0] = 0;
    EXPECT_EQ(words(decide_repairs(nullptr, 0, history, none), 2, 1), "stale-route0");
}

TEST(Reconcile, RadvdLeavesOutALanWithoutItsAddressAndIsNoRouterWithoutForwarding)
{
    const tunnel_plan plan = plan_for("lan0 lan1");
    lan_facts facts = all_in_place();
    facts.lan_link[1] = LINK_MISSING;
    facts.lan_address[1] = 0;
    tunnel_plan shown = advertised_lans(plan, facts);
    ASSERT_EQ(shown.lan_count, 1);
    EXPECT_STREQ(shown.lans[0].name, "lan0");
    // There, but its address could not be put on: left out too.
    facts.lan_link[1] = LINK_UP;
    EXPECT_EQ(advertised_lans(plan, facts).lan_count, 1);
    facts.lan_address[1] = 1;
    EXPECT_EQ(advertised_lans(plan, facts).lan_count, 2);

    char text[radvd_text_size];
    radvd_config(&shown, 1, prefix_history{}, "tun6rd0", text, sizeof text, 0);
    const std::string off(text);
    EXPECT_EQ(off.find("interface lan1"), std::string::npos);
    EXPECT_NE(off.find("AdvDefaultLifetime 0;"), std::string::npos);
    EXPECT_NE(off.find("AdvValidLifetime 5400;\n        AdvPreferredLifetime 2700;"),
              std::string::npos);
    EXPECT_EQ(off.find("route "), std::string::npos);
    radvd_config(&shown, 1, prefix_history{}, "tun6rd0", text, sizeof text, 1);
    EXPECT_NE(std::string(text).find("AdvDefaultLifetime 2700;"), std::string::npos);
}

TEST(Reconcile, OnlyTheHistorysStaleRoutesAreKept)
{
    prefix_history history{};
    history.count = 2;
    history.records[0] = prefix_record{"lan0", "2001:db8:2:101::/64", 0};
    history.records[1] = prefix_record{"lan0", "2001:db8:2:a01::/64", 9000};
    EXPECT_TRUE(stale_route_wanted(history, "2001:db8:2:a01::/64", "lan0"));
    EXPECT_FALSE(stale_route_wanted(history, "2001:db8:2:a01::/64", "lan1"));
    // A prefix in force has the kernel's route of its address, not one of these.
    EXPECT_FALSE(stale_route_wanted(history, "2001:db8:2:101::/64", "lan0"));
    EXPECT_FALSE(stale_route_wanted(history, "2001:db8:2:b01::/64", "lan0"));
}

}  // namespace
