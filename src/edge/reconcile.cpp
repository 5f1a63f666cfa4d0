// SPDX-License-Identifier: BSD-2-Clause
#include "edge/reconcile.h"

#include <cstring>

lan_repairs decide_repairs(const tunnel_plan* plan, int tunnel_up, const prefix_history& history,
                           const lan_facts& now)
{
    lan_repairs r{};
    const int lans = plan != nullptr ? plan->lan_count : 0;
    for (int i = 0; i < lans; ++i) {
        const bool there = now.lan_link[i] != LINK_MISSING;
        r.lan_address[i] = there && !now.lan_address[i];
        r.lan_keep[i] = there;
    }
    r.unreachable = plan != nullptr && plan->unreachable[0] != '\0' && !now.unreachable;
    for (int i = 0; i < history.count; ++i)
        r.stale_route[i] = history.records[i].stale_until != 0 && now.stale_link[i] == LINK_UP &&
                           !now.stale_route[i];
    r.table = now.nft_installed &&
              (!now.table_current || (now.table_wanted != 0) != (now.table_loaded != 0));
    r.forwarding = tunnel_up && lans > 0 && now.forwarding != 1;
    r.radvd_config = now.radvd_installed && !now.radvd_current;
    r.radvd_start = now.radvd_installed && now.radvd_wanted && now.radvd_current &&
                    !now.radvd_active;
    r.watcher = tunnel_up && lans > 0 && !now.watcher_active;
    return r;
}

tunnel_plan advertised_lans(const tunnel_plan& plan, const lan_facts& now)
{
    tunnel_plan out = plan;
    out.lan_count = 0;
    for (int i = 0; i < plan.lan_count; ++i)
        if (now.lan_link[i] != LINK_MISSING && now.lan_address[i])
            out.lans[out.lan_count++] = plan.lans[i];
    return out;
}

int stale_route_wanted(const prefix_history& history, const char* prefix, const char* dev)
{
    for (int i = 0; i < history.count; ++i) {
        const prefix_record& r = history.records[i];
        if (r.stale_until != 0 && std::strcmp(r.prefix, prefix) == 0 && std::strcmp(r.lan, dev) == 0)
            return 1;
    }
    return 0;
}
