// SPDX-License-Identifier: BSD-2-Clause
#include "edge/prefix_history.h"

#include "edge/address_kind.h"
#include "edge/settings.h"
#include "edge/text.h"

#include <syslog.h>

#include <cstdio>
#include <cstdlib>
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
// way, r itself when it ends no later than every other (a record in force
// never does: there are fewer LANs than records).
void add(prefix_history* h, const prefix_record& r)
{
    if (h->count == max_history) {
        int first = -1;
        for (int i = 0; i < h->count; ++i)
            if (h->records[i].stale_until != 0 &&
                (first == -1 || h->records[i].stale_until < h->records[first].stale_until))
                first = i;
        if (first == -1 ||
            (r.stale_until != 0 && r.stale_until <= h->records[first].stale_until))
            return;
        for (int i = first; i + 1 < h->count; ++i)
            h->records[i] = h->records[i + 1];
        --h->count;
    }
    h->records[h->count++] = r;
}

// The time a stale record ends, read with the clock at now: none ends
// later than a prefix withdrawn now would (the clock was ahead when it was
// written), and one written with the clock before clock_floor (no real-time
// clock, no NTP yet) starts afresh. A clock before clock_floor itself is
// trusted with nothing.
long long stale_end(long long until, long long now)
{
    if (now < clock_floor)
        return until;
    if (until < clock_floor || until > now + lan_valid_lifetime)
        return now + lan_valid_lifetime;
    return until;
}

// The last time a stale record may show: 12 digits reach the year 30000.
constexpr long long max_stale_until = 999999999999LL;

// "stale"'s time: decimal digits only, no sign, no leading zero, not 0.
bool parse_time(const char* text, long long* out)
{
    const size_t length = std::strlen(text);
    if (length == 0 || length > 12 || std::strspn(text, "0123456789") != length || text[0] == '0')
        return false;
    *out = std::strtoll(text, nullptr, 10);
    return *out <= max_stale_until;
}

}  // namespace

#ifndef FERRIN_BUILD_EPOCH
#define FERRIN_BUILD_EPOCH 1765000000
#endif
const long long clock_floor = FERRIN_BUILD_EPOCH;

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
        r.stale_until = r.stale_until == 0 ? now + lan_valid_lifetime : stale_end(r.stale_until, now);
        if (r.stale_until > now || now < clock_floor)
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
        const std::string one(p, static_cast<size_t>(end - p));
        p = next;
        if (one.empty() || one[0] == '#')
            continue;
        // What is read here goes into radvd's and nftables' texts and ip's
        // command lines: only an interface name and a /64 exactly as the
        // helper writes them, and a time it could have written.
        char words[5][64] = {};
        int count = 0;
        const char* at = one.c_str();
        while (count < 5 && next_word(&at, words[count], sizeof words[count]) == 1)
            ++count;
        const bool current = count == 3 && std::strcmp(words[0], "current") == 0;
        long long until = 0;
        const bool stale = count == 4 && std::strcmp(words[0], "stale") == 0 &&
                           parse_time(words[3], &until);
        char normal[address_text_size] = "";
        lan_prefix_of(words[2], normal, sizeof normal);
        in6_addr prefix{};
        int length = 0;
        if ((!current && !stale) || *at != '\0' || std::strchr(one.c_str(), ',') != nullptr ||
            !valid_plain_interface_name(words[1]) || radvd_keyword(words[1]) ||
            std::strcmp(normal, words[2]) != 0 || !normal_ipv6_text(words[2], 1, &prefix, &length) ||
            sixrd_prefix_problem(prefix) != nullptr) {
            syslog(LOG_ERR, "%s:%d: not a line of the prefix history", name, line);
            *out = prefix_history{};
            return -1;
        }
        prefix_record r{};
        copy_text(r.lan, sizeof r.lan, words[1]);
        copy_text(r.prefix, sizeof r.prefix, words[2]);
        r.stale_until = current ? 0 : until;
        add(out, r);
    }
    return 0;
}
