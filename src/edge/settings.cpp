// SPDX-License-Identifier: BSD-2-Clause
#include "edge/settings.h"

#include "edge/address_kind.h"
#include "edge/text.h"
#include "forward/batch_loop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Larger than any settings file a person writes; a bigger one is a mistake.
constexpr size_t max_settings_size = 65536;

bool blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

// Where the line [begin, end) ends once its comment is cut off: a "#" at
// its start or after a blank starts one. No value holds a blank followed by
// "#": names have no blanks, and the other values no "#".
const char* comment_start(const char* begin, const char* end)
{
    for (const char* p = begin; p < end; ++p)
        if (*p == '#' && (p == begin || blank(p[-1])))
            return p;
    return end;
}

// The keys whose empty value means nothing; the others' empty value (uplink,
// lan_interface, lan_dns, own_ipv4, daemon_options) is the default's "none".
bool needs_value(const char* key)
{
    return std::strcmp(key, "tunnel") == 0 || std::strcmp(key, "lan_subnet_id") == 0 ||
           std::strcmp(key, "lan_firewall") == 0;
}

// Trims blanks from both ends of [begin, end) and copies it into out.
// false when it does not fit.
bool trimmed(const char* begin, const char* end, char* out, size_t size)
{
    while (begin < end && blank(*begin))
        ++begin;
    while (end > begin && blank(end[-1]))
        --end;
    const size_t length = static_cast<size_t>(end - begin);
    if (length >= size)
        return false;
    std::memcpy(out, begin, length);
    out[length] = '\0';
    return true;
}

}  // namespace

const char* daemon_options_problem(const char* text)
{
    static const char only_options[] =
        "only the options -b batch, -d, -F and -u user belong here; "
        "the arguments come from the lease";
    if (std::strspn(text, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 -_.@") !=
        std::strlen(text))
        return "only letters, digits, blanks and -_.@ may appear";
    const char* p = text;
    while (*p != '\0') {
        while (*p == ' ')
            ++p;
        if (*p == '\0')
            break;
        if (*p != '-' || p[1] == '\0' || p[1] == ' ')
            return only_options;
        for (++p; *p != '\0' && *p != ' '; ++p) {
            if (*p == 'd' || *p == 'F')
                continue;
            if (*p == 'r')
                return "-r comes from the lease's IPv4MaskLen";
            if (*p == 'h' || *p == 'V')
                return "-h and -V would stop the daemon at once";
            if (*p == 'b') {
                // -b takes the rest of the word, or the next word, as its batch size.
                const char* size =
                    p[1] == '\0' || p[1] == ' ' ? p + 1 + std::strspn(p + 1, " ") : p + 1;
                char* end = nullptr;
                const long value = std::strtol(size, &end, 10);
                static_assert(max_batch == 64, "the message names the daemon's bound");
                if (end == size || (*end != '\0' && *end != ' ') || value < 1 || value > max_batch)
                    return "-b takes a batch size from 1 to 64";
                p = end;
                break;
            }
            if (*p != 'u')
                return only_options;
            // -u takes the rest of the word, or the next word, as its user.
            if (p[1] == '\0' || p[1] == ' ') {
                ++p;
                while (*p == ' ')
                    ++p;
                if (*p == '\0')
                    return "-u needs a user name";
            }
            while (*p != '\0' && *p != ' ')
                ++p;
            break;
        }
    }
    return nullptr;
}

namespace {

// A subnet id in hexadecimal, as it appears in the address; 12 digits reach
// past the widest room a delegated prefix leaves (47 bits).
bool parse_subnet_id(const char* text, uint64_t* out)
{
    const size_t length = std::strlen(text);
    if (length == 0 || length > 12 || std::strspn(text, "0123456789abcdefABCDEF") != length)
        return false;
    *out = std::strtoull(text, nullptr, 16);
    return true;
}

// lan_interface: names, each with its subnet id when it is not to be
// numbered from lan_subnet_id on ("eth1 eth2:2a"). 0, or -1 after logging.
int apply_lans(const char* value, const char* name, int line, dhcp_settings* out)
{
    out->lan_count = 0;
    char word[64];
    int got;
    for (const char* p = value; (got = next_word(&p, word, sizeof word)) != 0;) {
        char* colon = got == 1 ? std::strchr(word, ':') : nullptr;
        if (colon != nullptr)
            *colon = '\0';
        if (got == -1 || !valid_plain_interface_name(word)) {
            syslog(LOG_ERR, "%s:%d: lan_interface %s: not an interface name", name, line,
                   got == -1 ? value : word);
            return -1;
        }
        if (radvd_keyword(word)) {
            syslog(LOG_ERR,
                   "%s:%d: lan_interface %s: radvd reads it as a word of its own configuration, "
                   "not as an interface's name",
                   name, line, word);
            return -1;
        }
        if (out->lan_count == max_lans) {
            syslog(LOG_ERR, "%s:%d: lan_interface: more than %d interfaces", name, line, max_lans);
            return -1;
        }
        lan_setting& lan = out->lans[out->lan_count];
        lan = lan_setting{};
        copy_text(lan.name, sizeof lan.name, word);
        if (colon != nullptr) {
            if (!parse_subnet_id(colon + 1, &lan.subnet_id)) {
                syslog(LOG_ERR,
                       "%s:%d: lan_interface %s:%s: not a hexadecimal number of 1 to 12 digits "
                       "after the colon",
                       name, line, word, colon + 1);
                return -1;
            }
            lan.explicit_id = 1;
        }
        for (int i = 0; i < out->lan_count; ++i) {
            const lan_setting& other = out->lans[i];
            if (std::strcmp(other.name, lan.name) == 0 ||
                (lan.explicit_id && other.explicit_id && other.subnet_id == lan.subnet_id)) {
                syslog(LOG_ERR, "%s:%d: lan_interface %s: %s twice", name, line, word,
                       std::strcmp(other.name, lan.name) == 0 ? "named" : "the same subnet id");
                return -1;
            }
        }
        ++out->lan_count;
    }
    return 0;
}

// lan_dns: up to three IPv6 addresses, kept in their short form.
int apply_dns(const char* value, const char* name, int line, dhcp_settings* out)
{
    out->lan_dns[0] = '\0';
    char word[64];
    int got;
    int count = 0;
    for (const char* p = value; (got = next_word(&p, word, sizeof word)) != 0; ++count) {
        in6_addr address;
        if (got == -1 || inet_pton(AF_INET6, word, &address) != 1) {
            syslog(LOG_ERR, "%s:%d: lan_dns %s: not an IPv6 address", name, line,
                   got == -1 ? value : word);
            return -1;
        }
        // radvd refuses some of these, and the whole file with them; the
        // others no host could use.
        const char* problem = ipv6_unicast_problem(address);
        if (problem != nullptr) {
            syslog(LOG_ERR, "%s:%d: lan_dns %s: %s, not a global or unique local unicast address",
                   name, line, word, problem);
            return -1;
        }
        if (count == max_lan_dns) {
            syslog(LOG_ERR, "%s:%d: lan_dns: more than %d addresses", name, line, max_lan_dns);
            return -1;
        }
        char text[INET6_ADDRSTRLEN];
        inet_ntop(AF_INET6, &address, text, sizeof text);
        const size_t used = std::strlen(out->lan_dns);
        std::snprintf(out->lan_dns + used, sizeof out->lan_dns - used, "%s%s", used ? " " : "",
                      text);
    }
    return 0;
}

// A LAN named as the tunnel or the uplink would have this host advertise
// itself as the default router into the tunnel, or onto the ISP's segment.
// Checked once the whole file is read, whatever the order of its lines.
bool lans_problem(const dhcp_settings& settings, const char* name)
{
    for (int i = 0; i < settings.lan_count; ++i) {
        const char* lan = settings.lans[i].name;
        const char* what = std::strcmp(lan, settings.tunnel) == 0   ? "the tunnel"
                           : std::strcmp(lan, settings.uplink) == 0 ? "the uplink"
                                                                    : nullptr;
        if (what != nullptr) {
            syslog(LOG_ERR, "%s: lan_interface %s: %s, not a LAN", name, lan, what);
            return true;
        }
    }
    return false;
}

// One "key = value" line; 0, or -1 after logging it.
int apply_line(const char* key, const char* value, const char* name, int line, dhcp_settings* out)
{
    if (std::strcmp(key, "uplink") == 0 || std::strcmp(key, "tunnel") == 0) {
        // uplink may be empty (any uplink); a tunnel needs a name. The
        // uplink's is only compared with what the DHCP client passes.
        const int valid = std::strcmp(key, "uplink") == 0 ? valid_interface_name(value)
                                                          : valid_plain_interface_name(value);
        if ((value[0] != '\0' || std::strcmp(key, "tunnel") == 0) && !valid) {
            syslog(LOG_ERR, "%s:%d: %s %s: not an interface name", name, line, key, value);
            return -1;
        }
        char* field = std::strcmp(key, "uplink") == 0 ? out->uplink : out->tunnel;
        copy_text(field, interface_name_size, value);
        return 0;
    }
    if (std::strcmp(key, "lan_interface") == 0)
        return apply_lans(value, name, line, out);
    if (std::strcmp(key, "lan_dns") == 0)
        return apply_dns(value, name, line, out);
    if (std::strcmp(key, "lan_firewall") == 0) {
        if (std::strcmp(value, "yes") != 0 && std::strcmp(value, "no") != 0) {
            syslog(LOG_ERR, "%s:%d: lan_firewall %s: yes or no", name, line, value);
            return -1;
        }
        out->lan_firewall = std::strcmp(value, "yes") == 0;
        return 0;
    }
    if (std::strcmp(key, "daemon_options") == 0) {
        const char* problem = daemon_options_problem(value);
        if (problem == nullptr && std::strlen(value) >= sizeof out->daemon_options)
            problem = "longer than 127 characters";
        if (problem != nullptr) {
            syslog(LOG_ERR, "%s:%d: daemon_options \"%s\": %s", name, line, value, problem);
            return -1;
        }
        copy_text(out->daemon_options, sizeof out->daemon_options, value);
        return 0;
    }
    if (std::strcmp(key, "lan_subnet_id") == 0) {
        if (!parse_subnet_id(value, &out->lan_subnet_id)) {
            syslog(LOG_ERR, "%s:%d: lan_subnet_id %s: not a hexadecimal number of 1 to 12 digits",
                   name, line, value);
            return -1;
        }
        return 0;
    }
    if (std::strcmp(key, "own_ipv4") == 0) {
        in_addr own;
        if (value[0] != '\0' && inet_pton(AF_INET, value, &own) != 1) {
            syslog(LOG_ERR, "%s:%d: own_ipv4 %s: not an IPv4 address", name, line, value);
            return -1;
        }
        const char* problem = value[0] != '\0' ? ipv4_unicast_problem(own) : nullptr;
        if (problem != nullptr) {
            syslog(LOG_ERR, "%s:%d: own_ipv4 %s: %s, not a host's address", name, line, value,
                   problem);
            return -1;
        }
        copy_text(out->own_ipv4, sizeof out->own_ipv4, value);
        return 0;
    }
    syslog(LOG_ERR, "%s:%d: unknown key %s", name, line, key);
    return -1;
}

}  // namespace

void default_settings(dhcp_settings* out)
{
    *out = dhcp_settings{};
    copy_text(out->tunnel, sizeof out->tunnel, default_tunnel);
    copy_text(out->daemon_options, sizeof out->daemon_options, default_daemon_options);
    out->lan_subnet_id = default_lan_subnet_id;
    out->lan_firewall = 1;
}

int parse_settings(const char* text, const char* name, dhcp_settings* out)
{
    default_settings(out);
    int result = 0;
    int line = 0;
    for (const char* p = text; *p != '\0';) {
        ++line;
        const char* next = nullptr;
        const char* end = comment_start(p, line_end(p, &next));
        const char* start = p;
        while (start < end && blank(*start))
            ++start;
        p = next;
        if (start == end)
            continue;
        const char* equals = static_cast<const char*>(std::memchr(start, '=', end - start));
        char key[32];
        char value[256];
        if (equals == nullptr) {
            syslog(LOG_ERR, "%s:%d: no \"=\": settings are key = value lines", name, line);
            result = -1;
        } else if (equals == start) {
            syslog(LOG_ERR, "%s:%d: no key before \"=\"", name, line);
            result = -1;
        } else if (!trimmed(start, equals, key, sizeof key)) {
            // No key is that long: named all the same, cut to fit.
            std::memcpy(key, start, sizeof key - 4);
            std::memcpy(key + sizeof key - 4, "...", 4);
            syslog(LOG_ERR, "%s:%d: unknown key %s", name, line, key);
            result = -1;
        } else if (!trimmed(equals + 1, end, value, sizeof value)) {
            syslog(LOG_ERR, "%s:%d: %s: value longer than 255 characters", name, line, key);
            result = -1;
        } else if (value[0] == '\0' && needs_value(key)) {
            syslog(LOG_ERR, "%s:%d: %s: empty value; leave the line out for the default", name,
                   line, key);
            result = -1;
        } else if (apply_line(key, value, name, line, out) == -1) {
            result = -1;
        }
    }
    if (lans_problem(*out, name))
        result = -1;
    return result;
}

int read_settings(const char* path, dhcp_settings* out)
{
    default_settings(out);
    static char text[max_settings_size + 1];
    const int found = read_text_file(path, text, sizeof text);
    if (found <= 0)
        return found;
    return parse_settings(text, path, out);
}

int valid_interface_name(const char* name)
{
    const size_t length = std::strlen(name);
    if (length == 0 || length >= interface_name_size)
        return 0;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return 0;
    for (const char* p = name; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c <= ' ' || c >= 0x7F || std::strchr("/:\"'$\\`", c) != nullptr)
            return 0;
    }
    return 1;
}

int valid_plain_interface_name(const char* name)
{
    const size_t length = std::strlen(name);
    if (length == 0 || length >= interface_name_size || name[0] == '-')
        return 0;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return 0;
    return std::strspn(name, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.") ==
           length;
}

int radvd_keyword(const char* name)
{
    // The words radvd 2.19 refuses where its configuration names an
    // interface: its keywords of that length, and numbers.
    static const char* const keywords[] = {
        "AdvAutonomous",   "AdvCurHopLimit",  "AdvIntervalOpt", "AdvLinkMTU",     "AdvManagedFlag",
        "AdvOnLink",       "AdvRASrcAddress", "AdvRetransTimer", "AdvRouterAddr", "AdvSendAdvert",
        "AdvVersionHigh",  "AdvVersionLow",   "Base6Interface", "DNSSL",          "DeprecatePrefix",
        "FlushDNSSL",      "FlushRDNSS",      "IgnoreIfMissing", "RDNSS",         "RemoveRoute",
        "UnicastOnly",     "abro",            "clients",        "high",           "infinity",
        "interface",       "low",             "lowpanco",       "medium",         "off",
        "on",              "prefix",          "route",
    };
    for (const char* keyword : keywords)
        if (std::strcmp(name, keyword) == 0)
            return 1;
    // "12" and "1.5" are its numbers.
    const size_t digits = std::strspn(name, "0123456789");
    if (digits > 0 && name[digits] == '\0')
        return 1;
    if (digits > 0 && name[digits] == '.') {
        const size_t more = std::strspn(name + digits + 1, "0123456789");
        if (more > 0 && name[digits + 1 + more] == '\0')
            return 1;
    }
    return 0;
}
