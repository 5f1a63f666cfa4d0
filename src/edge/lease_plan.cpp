// SPDX-License-Identifier: BSD-2-Clause
#include "edge/lease_plan.h"

#include "edge/address_kind.h"
#include "edge/text.h"
#include "mapping/prefix.h"

#include <arpa/inet.h>
#include <syslog.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// An option of 255 bytes holds at most 59 relays; their texts fit many times.
constexpr int max_values = 80;
constexpr size_t values_text_size = 4096;

struct value_list {
    char text[values_text_size];
    const char* value[max_values];
    int count;
};

bool separator(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == ',';
}

// Splits every word at blanks and commas: a hook may pass the option as one
// quoted word or as many.
int split_values(const char* const* words, int count, const char* source, value_list* out)
{
    size_t used = 0;
    out->count = 0;
    for (int w = 0; w < count; ++w) {
        const char* p = words[w];
        while (*p != '\0') {
            while (separator(*p))
                ++p;
            if (*p == '\0')
                break;
            const char* start = p;
            while (*p != '\0' && !separator(*p))
                ++p;
            const size_t length = static_cast<size_t>(p - start);
            if (out->count == max_values || used + length + 1 > sizeof out->text) {
                syslog(LOG_ERR, "%s: option 212 is too long", source);
                return -1;
            }
            std::memcpy(out->text + used, start, length);
            out->text[used + length] = '\0';
            out->value[out->count++] = out->text + used;
            used += length + 1;
        }
    }
    return 0;
}

// A field of one byte in the option, as decimal text: digits only.
// 1 with the value, 0 for digits too many to be a byte's, -1 for no number.
int parse_byte_field(const char* text, int* value)
{
    if (*text == '\0' || std::strspn(text, "0123456789") != std::strlen(text))
        return -1;
    if (std::strlen(text) > 3)
        return 0;
    *value = static_cast<int>(std::strtol(text, nullptr, 10));
    return 1;
}

// Clears every bit of addr from bit length on.
void clear_after(in6_addr* addr, int length)
{
    for (int bit = length; bit < 128; ++bit)
        addr->s6_addr[bit / 8] &= static_cast<uint8_t>(~(0x80u >> (bit % 8)));
}

void prefix_text(const in6_addr& addr, int length, char* out)
{
    char text[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, &addr, text, sizeof text);
    std::snprintf(out, address_text_size, "%s/%d", text, length);
}


// The /64 numbered subnet_id inside the delegated prefix: the id fills the
// bits between the delegated length and 64.
in6_addr subnet_of(const in6_addr& delegated, uint64_t subnet_id)
{
    in6_addr lan = delegated;
    uint64_t high = 0;
    for (int i = 0; i < 8; ++i)
        high = high << 8 | lan.s6_addr[i];
    high |= subnet_id;
    for (int i = 7; i >= 0; --i, high >>= 8)
        lan.s6_addr[i] = static_cast<uint8_t>(high);
    return lan;
}

bool id_taken(const dhcp_settings& settings, uint64_t id)
{
    for (int i = 0; i < settings.lan_count; ++i)
        if (settings.lans[i].explicit_id && settings.lans[i].subnet_id == id)
            return true;
    return false;
}

void add_lan(tunnel_plan* out, const char* name, in6_addr lan)
{
    lan_plan& entry = out->lans[out->lan_count++];
    copy_text(entry.name, sizeof entry.name, name);
    // Past the delegated prefix and the subnet id every bit is 0: the /64 itself.
    prefix_text(lan, 64, entry.prefix);
    lan.s6_addr[15] = 1;
    prefix_text(lan, 64, entry.address);
}

// Each LAN interface gets its own /64 (an id given with it, or the next free
// one from lan_subnet_id on); a /64 delegated prefix has room for one LAN.
void plan_lans(const dhcp_settings& settings, const in6_addr& delegated, int delegated_len,
               const char* uplink, tunnel_plan* out)
{
    if (settings.lan_count == 0)
        return;
    const int subnet_bits = 64 - delegated_len;
    if (subnet_bits == 0) {
        add_lan(out, settings.lans[0].name, delegated);
        if (settings.lan_count > 1) {
            char rest[max_lans * interface_name_size];
            const char* names[max_lans];
            for (int i = 1; i < settings.lan_count; ++i)
                names[i - 1] = settings.lans[i].name;
            join_words(names, settings.lan_count - 1, rest, sizeof rest);
            syslog(LOG_ERR, "%s: the /64 delegated prefix serves only %s; no LAN address on %s",
                   uplink, settings.lans[0].name, rest);
        }
        return;
    }
    uint64_t next_id = settings.lan_subnet_id;
    for (int i = 0; i < settings.lan_count; ++i) {
        const lan_setting& lan = settings.lans[i];
        uint64_t id = lan.subnet_id;
        if (!lan.explicit_id) {
            while (id_taken(settings, next_id))
                ++next_id;
            id = next_id++;
        }
        if (id >> subnet_bits != 0) {
            syslog(LOG_ERR,
                   "%s: lan_subnet_id %llx does not fit in the %d bits of the /%d delegated "
                   "prefix; no LAN address on %s",
                   uplink, static_cast<unsigned long long>(id), subnet_bits, delegated_len,
                   lan.name);
            continue;
        }
        add_lan(out, lan.name, subnet_of(delegated, id));
    }
    // The LANs take /64s; the rest of the delegated prefix would otherwise
    // follow the on-link domain route back into the tunnel.
    if (out->lan_count > 0)
        copy_text(out->unreachable, sizeof out->unreachable, out->delegated);
}

}  // namespace

void lan_prefix_of(const char* address, char* out, size_t size)
{
    char text[address_text_size];
    copy_text(text, sizeof text, address);
    char* slash = std::strchr(text, '/');
    if (slash != nullptr)
        *slash = '\0';
    in6_addr lan{};
    if (inet_pton(AF_INET6, text, &lan) != 1) {
        copy_text(out, size, "");
        return;
    }
    clear_after(&lan, 64);
    char prefix[address_text_size];
    prefix_text(lan, 64, prefix);
    copy_text(out, size, prefix);
}

int parse_sixrd_option(const char* const* words, int count, const char* source, sixrd_option* out)
{
    value_list values;
    if (split_values(words, count, source, &values) == -1)
        return -1;
    if (values.count < 3) {
        char joined[256];
        join_words(values.value, values.count, joined, sizeof joined);
        syslog(LOG_ERR,
               "%s: option 212 \"%s\" is incomplete: IPv4MaskLen, 6rdPrefixLen, 6rdPrefix and "
               "6rdBRIPv4Address expected",
               source, joined);
        return -1;
    }

    const char* mask_text = values.value[0];
    const int mask_parse = parse_byte_field(mask_text, &out->mask_len);
    if (mask_parse == -1) {
        syslog(LOG_ERR, "%s: IPv4MaskLen %s: not a number", source, mask_text);
        return -1;
    }
    if (mask_parse == 0 || out->mask_len > 32) {
        syslog(LOG_ERR, "%s: IPv4MaskLen %s: out of range (0 to 32)", source, mask_text);
        return -1;
    }
    // Legal in the option, but it would leave no bit of the address for the
    // prefix, and the daemon's -r stops one short of it.
    if (out->mask_len > max_common_len) {
        syslog(LOG_ERR,
               "%s: IPv4MaskLen %d: every bit of the IPv4 address would be common, and ferrin's "
               "-r takes 0 to %d",
               source, out->mask_len, max_common_len);
        return -1;
    }

    const char* length_text = values.value[1];
    const int length_parse = parse_byte_field(length_text, &out->prefix_len);
    if (length_parse == -1) {
        syslog(LOG_ERR, "%s: 6rdPrefixLen %s: not a number", source, length_text);
        return -1;
    }
    if (length_parse == 0 || out->prefix_len < min_prefix_len ||
        out->prefix_len > max_prefix_len) {
        syslog(LOG_ERR, "%s: 6rdPrefixLen %s: out of range (ferrin takes %d to %d)", source,
               length_text, min_prefix_len, max_prefix_len);
        return -1;
    }

    const int delegated_len = out->prefix_len + 32 - out->mask_len;
    if (delegated_len > max_delegated_len) {
        syslog(LOG_ERR,
               "%s: delegated prefix length %d (6rdPrefixLen %d + 32 - IPv4MaskLen %d) is longer "
               "than %d",
               source, delegated_len, out->prefix_len, out->mask_len, max_delegated_len);
        return -1;
    }

    const char* prefix_text_in = values.value[2];
    if (inet_pton(AF_INET6, prefix_text_in, &out->prefix) != 1) {
        syslog(LOG_ERR, "%s: 6rdPrefix %s: not an IPv6 address", source, prefix_text_in);
        return -1;
    }
    // The daemon reads only the first prefix_len bits; cleared, the rest
    // cannot make two equal leases look different.
    clear_after(&out->prefix, out->prefix_len);
    const char* prefix_problem = sixrd_prefix_problem(out->prefix);
    if (prefix_problem != nullptr) {
        char text[address_text_size];
        prefix_text(out->prefix, out->prefix_len, text);
        syslog(LOG_ERR, "%s: 6rdPrefix %s: %s, not a global unicast one", source, text,
               prefix_problem);
        return -1;
    }

    if (values.count == 3) {
        syslog(LOG_ERR, "%s: option 212 has no 6rdBRIPv4Address", source);
        return -1;
    }
    out->relay_count = values.count - 3;
    for (int i = 3; i < values.count; ++i) {
        in_addr relay;
        if (inet_pton(AF_INET, values.value[i], &relay) != 1) {
            syslog(LOG_ERR, "%s: 6rdBRIPv4Address %s: not an IPv4 address", source,
                   values.value[i]);
            return -1;
        }
        if (i == 3)
            out->relay = relay;
    }
    // The daemon sends to the first relay only; the others are never used.
    const char* relay_problem = ipv4_unicast_problem(out->relay);
    if (relay_problem != nullptr) {
        syslog(LOG_ERR, "%s: 6rdBRIPv4Address %s: %s, not a relay", source, values.value[3],
               relay_problem);
        return -1;
    }
    return 0;
}

int plan_tunnel(const sixrd_option& option, const char* leased_v4, const char* uplink,
                const dhcp_settings& settings, tunnel_plan* out)
{
    *out = tunnel_plan{};
    // Behind a NAT the leased address is not the one the domain knows.
    const char* own_text = settings.own_ipv4[0] != '\0' ? settings.own_ipv4 : leased_v4;
    in_addr own;
    if (inet_pton(AF_INET, own_text, &own) != 1) {
        syslog(LOG_ERR, "%s: leased address %s: not an IPv4 address", uplink, own_text);
        return -1;
    }
    const char* own_problem = ipv4_unicast_problem(own);
    if (own_problem != nullptr) {
        syslog(LOG_ERR, "%s: leased address %s: %s, not a host's address", uplink, own_text,
               own_problem);
        return -1;
    }
    // Every packet for such a relay would stay in this host, or come back.
    in_addr leased;
    if (option.relay.s_addr == own.s_addr ||
        (inet_pton(AF_INET, leased_v4, &leased) == 1 && option.relay.s_addr == leased.s_addr)) {
        char relay[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &option.relay, relay, sizeof relay);
        syslog(LOG_ERR, "%s: 6rdBRIPv4Address %s: this host's own address, not a relay", uplink,
               relay);
        return -1;
    }

    prefix_text(option.prefix, option.prefix_len, out->prefix);
    inet_ntop(AF_INET, &option.relay, out->relay, sizeof out->relay);
    inet_ntop(AF_INET, &own, out->my_v4, sizeof out->my_v4);
    if (option.mask_len == 0)
        copy_text(out->options, sizeof out->options, settings.daemon_options);
    else
        std::snprintf(out->options, sizeof out->options, "%s%s-r %d", settings.daemon_options,
                      settings.daemon_options[0] != '\0' ? " " : "", option.mask_len);
    copy_text(out->uplink, sizeof out->uplink, uplink);

    // The daemon's own arithmetic: the same call turns its prefix into the
    // delegated prefix at start-up.
    in6_addr delegated = option.prefix;
    embed_v4_suffix(&delegated, option.prefix_len, &own, option.mask_len);
    const int delegated_len = option.prefix_len + 32 - option.mask_len;
    prefix_text(delegated, delegated_len, out->delegated);

    // With the 6rd prefix length the whole domain is on-link: packets for
    // another site go into the tunnel without a route of their own.
    in6_addr host = delegated;
    host.s6_addr[15] = 1;
    prefix_text(host, option.prefix_len, out->tun_address);

    copy_text(out->lan_dns, sizeof out->lan_dns, settings.lan_dns);
    out->lan_firewall = settings.lan_firewall;
    // With any uplink, the settings can't know which one the lease is on;
    // that one is no LAN: this host would be the default router on the
    // ISP's segment.
    dhcp_settings lans = settings;
    lans.lan_count = 0;
    for (int i = 0; i < settings.lan_count; ++i) {
        if (std::strcmp(settings.lans[i].name, uplink) == 0)
            syslog(LOG_ERR, "%s: lan_interface %s: the uplink of this lease, not a LAN; no LAN "
                            "address on %s", uplink, uplink, uplink);
        else
            lans.lans[lans.lan_count++] = settings.lans[i];
    }
    plan_lans(lans, delegated, delegated_len, uplink, out);
    return 0;
}

int refuse_broadcast(const tunnel_plan& plan, const char* leased_v4, const in_addr& broadcast,
                     const char* uplink)
{
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &broadcast, text, sizeof text);
    // Sent there, every packet would reach every host on the uplink.
    if (std::strcmp(plan.relay, text) == 0) {
        syslog(LOG_ERR, "%s: 6rdBRIPv4Address %s: the broadcast address of the uplink's subnet, "
                        "not a relay", uplink, text);
        return -1;
    }
    if (std::strcmp(leased_v4, text) == 0) {
        syslog(LOG_ERR, "%s: leased address %s: the broadcast address of the uplink's subnet, "
                        "not a host's address", uplink, text);
        return -1;
    }
    return 0;
}

int same_daemon(const tunnel_plan& a, const tunnel_plan& b)
{
    return std::strcmp(a.prefix, b.prefix) == 0 && std::strcmp(a.relay, b.relay) == 0 &&
           std::strcmp(a.my_v4, b.my_v4) == 0 && std::strcmp(a.options, b.options) == 0;
}

int same_addresses(const tunnel_plan& a, const tunnel_plan& b)
{
    if (a.lan_count != b.lan_count)
        return 0;
    for (int i = 0; i < a.lan_count; ++i)
        if (std::strcmp(a.lans[i].name, b.lans[i].name) != 0 ||
            std::strcmp(a.lans[i].address, b.lans[i].address) != 0)
            return 0;
    return std::strcmp(a.uplink, b.uplink) == 0 && std::strcmp(a.delegated, b.delegated) == 0 &&
           std::strcmp(a.tun_address, b.tun_address) == 0 &&
           std::strcmp(a.unreachable, b.unreachable) == 0 &&
           std::strcmp(a.lan_dns, b.lan_dns) == 0 && a.lan_firewall == b.lan_firewall;
}

unit_action decide_unit_action(const tunnel_plan* old_plan, const tunnel_plan& new_plan,
                               int unit_active)
{
    if (!unit_active)
        return UNIT_START;
    // A unit that runs without a plan of ours runs with settings from
    // elsewhere (/etc/ferrin): the lease's take over.
    if (old_plan == nullptr || !same_daemon(*old_plan, new_plan))
        return UNIT_RESTART;
    if (!same_addresses(*old_plan, new_plan))
        return UNIT_READDRESS;
    return UNIT_KEEP;
}
