// SPDX-License-Identifier: BSD-2-Clause
#include "edge/radvd_config.h"

#include <cstdio>
#include <cstring>

namespace {

// radvd's default MaxRtrAdvInterval is 600 s, and it warns of a DNS
// lifetime above twice that at every reload; hosts hear it again at least
// every 600 s.
constexpr int rdnss_lifetime = 2 * 600;

struct text_out {
    char* out;
    size_t size;
    size_t used;
};

template <typename... Args>
void put(text_out* t, const char* format, Args... args)
{
    if (t->used >= t->size)
        return;
    const int n = std::snprintf(t->out + t->used, t->size - t->used, format, args...);
    if (n > 0)
        t->used += static_cast<size_t>(n);
}

void put_prefix(text_out* t, const char* prefix, int valid, int preferred)
{
    put(t,
        "    prefix %s {\n"
        "        AdvOnLink on;\n"
        "        AdvAutonomous on;\n"
        "        AdvValidLifetime %d;\n"
        "        AdvPreferredLifetime %d;\n"
        "    };\n",
        prefix, valid, preferred);
}

// The interfaces with something to hear, each once, the plan's first.
int interfaces(const tunnel_plan* plan, const prefix_history& history,
               const char* names[max_lans + max_history])
{
    int count = 0;
    auto add = [&](const char* name) {
        for (int i = 0; i < count; ++i)
            if (std::strcmp(names[i], name) == 0)
                return;
        names[count++] = name;
    };
    if (plan != nullptr)
        for (int i = 0; i < plan->lan_count; ++i)
            add(plan->lans[i].name);
    for (int i = 0; i < history.count; ++i)
        if (history.records[i].stale_until != 0)
            add(history.records[i].lan);
    return count;
}

}  // namespace

void radvd_config(const tunnel_plan* plan, int tunnel_up, const prefix_history& history,
                  const char* tun, char* out, size_t size, int forwarding)
{
    text_out t{out, size, 0};
    out[0] = '\0';
    const char* names[max_lans + max_history];
    const int count = interfaces(plan, history, names);
    if (count == 0)
        return;
    put(&t,
        "# Router advertisements for the LAN of tunnel %s, written by ferrin-6rd and\n"
        "# replaced at every change; see ferrin-6rd(8).\n",
        tun);
    for (int n = 0; n < count; ++n) {
        const lan_plan* lan = nullptr;
        if (plan != nullptr)
            for (int i = 0; i < plan->lan_count; ++i)
                if (std::strcmp(plan->lans[i].name, names[n]) == 0)
                    lan = &plan->lans[i];
        const bool advertised = lan != nullptr && tunnel_up;
        // Without forwarding, what the hosts send this router is dropped.
        const bool router = advertised && forwarding;
        // An interface that is gone (or not yet there) must not stop radvd
        // from serving the others.
        put(&t,
            "\ninterface %s {\n"
            "    AdvSendAdvert on;\n"
            "    IgnoreIfMissing on;\n"
            "    AdvDefaultLifetime %d;\n",
            names[n], router ? router_lifetime : 0);
        if (lan != nullptr)
            put_prefix(&t, lan->prefix, lan_valid_lifetime, advertised ? lan_preferred_lifetime : 0);
        for (int i = 0; i < history.count; ++i) {
            const prefix_record& r = history.records[i];
            if (r.stale_until != 0 && std::strcmp(r.lan, names[n]) == 0)
                put_prefix(&t, r.prefix, 0, 0);
        }
        if (router) {
            put(&t,
                "    route %s {\n"
                "        AdvRouteLifetime %d;\n"
                "    };\n",
                plan->delegated, router_lifetime);
            if (plan->lan_dns[0] != '\0')
                put(&t,
                    "    RDNSS %s {\n"
                    "        AdvRDNSSLifetime %d;\n"
                    "    };\n",
                    plan->lan_dns, rdnss_lifetime);
        }
        put(&t, "%s", "};\n");
    }
    if (t.used >= size)
        out[0] = '\0';
}
