// SPDX-License-Identifier: BSD-2-Clause
#include "edge/prefix_history.h"

#include "edge/settings.h"
#include "edge/text.h"

#include <syslog.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool same_place(const prefix_record& r, const lan_plan& lan)
{
    return std::strcmp(r.lan, lan.name) == 0 && std::strcmp(r.prefix, lan.prefix) == 0;
}

bool in_plan(const prefix_record& r, const tunnel_plan* plan)
{
    if (plan == nullptr)
        return false;
    for (int i = 0; i < plan->lan_count; ++i)
        if (same_place(r, plan->lans[i]))
            return true;
    return false;
}

// Adds r; when the history is full, the stale record that ends first gives
// way (a record in force never does: there are fewer LANs than records).
void add(prefix_history* h, const prefix_record& r)
{
    if (h->count == max_history) {
        int first = -1;
        for (int i = 0; i < h->count; ++i)
            if (h->records[i].stale_until != 0 &&
                (first == -1 || h->records[i].stale_until < h->records[first].stale_until))
                first = i;
        if (first == -1)
            return;
        for (int i = first; i + 1 < h->count; ++i)
            h->records[i] = h->records[i + 1];
        --h->count;
    }
    h->records[h->count++] = r;
}

}  // namespace

prefix_history next_history(const prefix_history& old, const tunnel_plan* plan, long long now)
{
    prefix_history next{};
    // The plan's prefixes first, in its order, then the stale ones.
    if (plan != nullptr)
        for (int i = 0; i < plan->lan_count; ++i) {
            prefix_record r{};
            copy_text(r.lan, sizeof r.lan, plan->lans[i].name);
            copy_text(r.prefix, sizeof r.prefix, plan->lans[i].prefix);
            add(&next, r);
        }
    for (int i = 0; i < old.count; ++i) {
        prefix_record r = old.records[i];
        if (in_plan(r, plan))
            continue;
        // A host may have heard the prefix in force a moment ago.
        if (r.stale_until == 0)
            r.stale_until = now + lan_valid_lifetime;
        if (r.stale_until > now)
            add(&next, r);
    }
    return next;
}

int same_history(const prefix_history& a, const prefix_history& b)
{
    if (a.count != b.count)
        return 0;
    for (int i = 0; i < a.count; ++i)
        if (std::strcmp(a.records[i].lan, b.records[i].lan) != 0 ||
            std::strcmp(a.records[i].prefix, b.records[i].prefix) != 0 ||
            a.records[i].stale_until != b.records[i].stale_until)
            return 0;
    return 1;
}

int stale_count(const prefix_history& history)
{
    int count = 0;
    for (int i = 0; i < history.count; ++i)
        count += history.records[i].stale_until != 0;
    return count;
}

void format_history(const prefix_history& history, char* out, size_t size)
{
    size_t used = static_cast<size_t>(std::snprintf(
        out, size,
        "# LAN prefixes of ferrin-6rd: \"current\" ones are advertised, \"stale\" ones are\n"
        "# announced with zero lifetimes until the time given (seconds since 1970).\n"));
    for (int i = 0; i < history.count && used < size; ++i) {
        const prefix_record& r = history.records[i];
        int n = r.stale_until == 0
                    ? std::snprintf(out + used, size - used, "current %s %s\n", r.lan, r.prefix)
                    : std::snprintf(out + used, size - used, "stale %s %s %lld\n", r.lan, r.prefix,
                                    r.stale_until);
        if (n < 0)
            break;
        used += static_cast<size_t>(n);
    }
}

int parse_history(const char* text, const char* name, prefix_history* out)
{
    *out = prefix_history{};
    int line = 0;
    for (const char* p = text; *p != '\0';) {
        ++line;
        const char* next = nullptr;
        const char* end = line_end(p, &next);
        std::string one(p, static_cast<size_t>(end - p));
        p = next;
        if (one.empty() || one[0] == '#')
            continue;
        char kind[16], lan[64], prefix[64];
        long long until = 0;
        char extra = '\0';
        const int fields = std::sscanf(one.c_str(), "%15s %63s %63s %lld %c", kind, lan, prefix,
                                       &until, &extra);
        const bool current = fields == 3 && std::strcmp(kind, "current") == 0;
        const bool stale = fields == 4 && std::strcmp(kind, "stale") == 0 && until > 0;
        // What is read here goes into radvd's and nftables' texts: only an
        // interface name and a /64 exactly as the helper writes them.
        char normal[address_text_size] = "";
        if (fields >= 3)
            lan_prefix_of(prefix, normal, sizeof normal);
        prefix_record r{};
        if ((!current && !stale) || !valid_plain_interface_name(lan) || std::strcmp(normal, prefix) != 0) {
            syslog(LOG_ERR, "%s:%d: not a line of the prefix history", name, line);
            return -1;
        }
        copy_text(r.lan, sizeof r.lan, lan);
        copy_text(r.prefix, sizeof r.prefix, prefix);
        r.stale_until = current ? 0 : until;
        add(out, r);
    }
    return 0;
}
