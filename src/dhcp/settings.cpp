// SPDX-License-Identifier: BSD-2-Clause
#include "dhcp/settings.h"

#include "dhcp/address_kind.h"
#include "dhcp/text.h"

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

// The options go into the unit's command line through the environment file:
// only what the daemon takes there, and only characters that need no quoting.
// nullptr when text is fine, otherwise why not.
const char* daemon_options_problem(const char* text)
{
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
            return "only the options -d, -F and -u user belong here; the arguments come from the lease";
        for (++p; *p != '\0' && *p != ' '; ++p) {
            if (*p == 'd' || *p == 'F')
                continue;
            if (*p == 'r')
                return "-r comes from the lease's IPv4MaskLen";
            if (*p == 'h' || *p == 'V')
                return "-h and -V would stop the daemon at once";
            if (*p != 'u')
                return "only the options -d, -F and -u user belong here; the arguments come from the lease";
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

// One "key = value" line; 0, or -1 after logging it.
int apply_line(const char* key, const char* value, const char* name, int line, dhcp_settings* out)
{
    if (std::strcmp(key, "uplink") == 0 || std::strcmp(key, "tunnel") == 0 ||
        std::strcmp(key, "lan_interface") == 0) {
        // uplink and lan_interface may be empty (any uplink, no LAN); a tunnel needs a name.
        // The uplink's is only compared with what the DHCP client passes.
        const int valid = std::strcmp(key, "uplink") == 0 ? valid_interface_name(value)
                                                          : valid_plain_interface_name(value);
        if ((value[0] != '\0' || std::strcmp(key, "tunnel") == 0) && !valid) {
            syslog(LOG_ERR, "%s:%d: %s %s: not an interface name", name, line, key, value);
            return -1;
        }
        char* field = std::strcmp(key, "uplink") == 0   ? out->uplink
                      : std::strcmp(key, "tunnel") == 0 ? out->tunnel
                                                        : out->lan;
        copy_text(field, interface_name_size, value);
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
}

int parse_settings(const char* text, const char* name, dhcp_settings* out)
{
    default_settings(out);
    int result = 0;
    int line = 0;
    for (const char* p = text; *p != '\0';) {
        ++line;
        const char* next = nullptr;
        const char* end = line_end(p, &next);
        const char* start = p;
        while (start < end && blank(*start))
            ++start;
        if (start == end || *start == '#') {
            p = next;
            continue;
        }
        const char* equals = static_cast<const char*>(std::memchr(start, '=', end - start));
        char key[32];
        char value[256];
        if (equals == nullptr) {
            syslog(LOG_ERR, "%s:%d: no \"=\": settings are key = value lines", name, line);
            result = -1;
        } else if (!trimmed(start, equals, key, sizeof key)) {
            syslog(LOG_ERR, "%s:%d: unknown key", name, line);
            result = -1;
        } else if (!trimmed(equals + 1, end, value, sizeof value)) {
            syslog(LOG_ERR, "%s:%d: %s: value longer than 255 characters", name, line, key);
            result = -1;
        } else if (apply_line(key, value, name, line, out) == -1) {
            result = -1;
        }
        p = next;
    }
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
