// SPDX-License-Identifier: BSD-2-Clause
#include "edge/env_file.h"

#include "edge/address_kind.h"
#include "edge/system_actions.h"
#include "edge/text.h"
#include "mapping/prefix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string>

namespace {

struct env_field {
    const char* key;
    size_t offset;
    size_t size;
};

#define FIELD(key, member) {key, offsetof(tunnel_plan, member), sizeof(tunnel_plan::member)}

// In the order they are written. The unit reads the first four.
const env_field Fields[] = {
    FIELD("FERRIN_PREFIX", prefix),
    FIELD("FERRIN_RELAY", relay),
    FIELD("FERRIN_MY_V4", my_v4),
    FIELD("FERRIN_OPTS", options),
    FIELD("FERRIN_UPLINK", uplink),
    FIELD("FERRIN_DELEGATED", delegated),
    FIELD("FERRIN_TUN_ADDRESS", tun_address),
};
// The LAN part: lists of one word per LAN interface, then the LANs' settings.
const char lan_key[] = "FERRIN_LAN";
const char lan_address_key[] = "FERRIN_LAN_ADDRESS";
const env_field LanFields[] = {
    FIELD("FERRIN_UNREACHABLE", unreachable),
    FIELD("FERRIN_LAN_DNS", lan_dns),
};
const char firewall_key[] = "FERRIN_LAN_FIREWALL";
const char* const required_keys[] = {
    "FERRIN_PREFIX",       "FERRIN_RELAY",    "FERRIN_MY_V4",       "FERRIN_OPTS",
    "FERRIN_UPLINK",       "FERRIN_DELEGATED", "FERRIN_TUN_ADDRESS", "FERRIN_LAN",
    "FERRIN_LAN_ADDRESS",  "FERRIN_UNREACHABLE",
};

#undef FIELD

char* field_of(tunnel_plan* plan, const env_field& field)
{
    return reinterpret_cast<char*>(plan) + field.offset;
}

const char* field_of(const tunnel_plan& plan, const env_field& field)
{
    return reinterpret_cast<const char*>(&plan) + field.offset;
}

const env_field* find_field(const char* key)
{
    for (const env_field& field : Fields)
        if (std::strcmp(key, field.key) == 0)
            return &field;
    for (const env_field& field : LanFields)
        if (std::strcmp(key, field.key) == 0)
            return &field;
    return nullptr;
}

// KEY=value, quoted when the value is several words: the unit takes a quoted
// value as one and splits it where ExecStart says $KEY.
int put_line(char* out, size_t size, int used, const char* key, const char* value, bool quote)
{
    if (used < 0 || static_cast<size_t>(used) >= size)
        return used;
    quote = quote || std::strchr(value, ' ') != nullptr;
    const char* q = quote ? "\"" : "";
    return used + std::snprintf(out + used, size - static_cast<size_t>(used), "%s=%s%s%s\n", key,
                                q, value, q);
}

// The names (or the addresses) of the plan's LANs, blank separated.
void lan_list(const tunnel_plan& plan, bool addresses, char* out, size_t size)
{
    const char* words[max_lans];
    for (int i = 0; i < plan.lan_count; ++i)
        words[i] = addresses ? plan.lans[i].address : plan.lans[i].name;
    join_words(words, plan.lan_count, out, size);
}

// Fills the LANs from the two lists; -1 after logging when they don't pair up.
int read_lan_lists(const char* names, const char* addresses, const char* name, tunnel_plan* out)
{
    out->lan_count = 0;
    const char* n = names;
    const char* a = addresses;
    for (;;) {
        lan_plan entry{};
        const int got_name = next_word(&n, entry.name, sizeof entry.name);
        const int got_address = next_word(&a, entry.address, sizeof entry.address);
        if (got_name == 0 && got_address == 0)
            return 0;
        if (got_name != 1 || got_address != 1 || out->lan_count == max_lans) {
            syslog(LOG_ERR, "%s: %s and %s do not pair up", name, lan_key, lan_address_key);
            return -1;
        }
        lan_prefix_of(entry.address, entry.prefix, sizeof entry.prefix);
        out->lans[out->lan_count++] = entry;
    }
}

// A value as it may appear in the log: bytes outside printable ASCII as \xNN.
std::string shown(const char* value)
{
    std::string text;
    for (const char* p = value; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", c);
        text += c >= 0x20 && c < 0x7F ? std::string(1, *p) : std::string(hex);
    }
    return text;
}

// The first bits of a and b are the same.
bool same_bits(const in6_addr& a, const in6_addr& b, int bits)
{
    for (int bit = 0; bit < bits; ++bit) {
        const int mask = 0x80 >> (bit % 8);
        if ((a.s6_addr[bit / 8] & mask) != (b.s6_addr[bit / 8] & mask))
            return false;
    }
    return true;
}

// A prefix as the helper writes it: the normal text, no bit set past the
// length, and the length in [low, high].
bool normal_prefix(const char* text, int low, int high, in6_addr* out, int* length)
{
    if (!normal_ipv6_text(text, 1, out, length) || *length < low || *length > high)
        return false;
    for (int bit = *length; bit < 128; ++bit)
        if (out->s6_addr[bit / 8] & (0x80 >> (bit % 8)))
            return false;
    return true;
}

// The options as the helper writes them: the settings' daemon options, then
// "-r N" for a common length from 1 on.
bool normal_options(const char* text)
{
    std::string options(text);
    const size_t r = options.rfind("-r ");
    if (r != std::string::npos && (r == 0 || options[r - 1] == ' ')) {
        const std::string n = options.substr(r + 3);
        if (n.empty() || n.size() > 2 || n.find_first_not_of("0123456789") != std::string::npos ||
            n[0] == '0' || std::stoi(n) > max_common_len)
            return false;
        options.erase(r == 0 ? 0 : r - 1);
    }
    return daemon_options_problem(options.c_str()) == nullptr;
}

// Every value that reaches a command or another file's text (radvd's, the
// table's, the unit's command line) is one the helper could have written:
// a hand edit, a damaged disk or a process with write access must not get
// anything else through. -1 after logging the first that is not.
int check_values(const tunnel_plan& plan, const char* name)
{
    const char* bad = nullptr;
    const char* value = nullptr;
    auto refuse = [&](const char* key, const char* v) {
        if (bad == nullptr) {
            bad = key;
            value = v;
        }
    };
    in6_addr prefix{}, delegated{}, address{};
    int prefix_len = 0, delegated_len = 0, length = 0;
    in_addr v4{};
    if (!normal_prefix(plan.prefix, min_prefix_len, max_prefix_len, &prefix, &prefix_len) ||
        sixrd_prefix_problem(prefix) != nullptr)
        refuse("FERRIN_PREFIX", plan.prefix);
    if (!normal_ipv4_text(plan.relay, &v4) || ipv4_unicast_problem(v4) != nullptr)
        refuse("FERRIN_RELAY", plan.relay);
    if (!normal_ipv4_text(plan.my_v4, &v4) || ipv4_unicast_problem(v4) != nullptr)
        refuse("FERRIN_MY_V4", plan.my_v4);
    if (!normal_options(plan.options))
        refuse("FERRIN_OPTS", plan.options);
    if (!valid_interface_name(plan.uplink))
        refuse("FERRIN_UPLINK", plan.uplink);
    if (!normal_prefix(plan.delegated, prefix_len, max_delegated_len, &delegated, &delegated_len) ||
        !same_bits(prefix, delegated, prefix_len))
        refuse("FERRIN_DELEGATED", plan.delegated);
    in6_addr own = delegated;
    own.s6_addr[15] |= 1;
    if (!normal_ipv6_text(plan.tun_address, 1, &address, &length) || length != prefix_len ||
        std::memcmp(&address, &own, sizeof own) != 0)
        refuse("FERRIN_TUN_ADDRESS", plan.tun_address);
    for (int i = 0; i < plan.lan_count; ++i) {
        const lan_plan& lan = plan.lans[i];
        if (!valid_plain_interface_name(lan.name) || radvd_keyword(lan.name) ||
            std::strcmp(lan.name, plan.uplink) == 0)
            refuse("FERRIN_LAN", lan.name);
        for (int j = 0; j < i; ++j)
            if (std::strcmp(plan.lans[j].name, lan.name) == 0)
                refuse("FERRIN_LAN", lan.name);
        // The edge's ::1 in a /64 of the delegated prefix.
        in6_addr one{};
        one.s6_addr[15] = 1;
        if (!normal_ipv6_text(lan.address, 1, &address, &length) || length != 64 ||
            !same_bits(address, delegated, delegated_len) ||
            std::memcmp(address.s6_addr + 8, one.s6_addr + 8, 8) != 0)
            refuse("FERRIN_LAN_ADDRESS", lan.address);
    }
    if (plan.unreachable[0] != '\0' && std::strcmp(plan.unreachable, plan.delegated) != 0)
        refuse("FERRIN_UNREACHABLE", plan.unreachable);
    char word[64];
    int got = 0, count = 0;
    for (const char* p = plan.lan_dns; (got = next_word(&p, word, sizeof word)) != 0; ++count)
        if (got == -1 || count == max_lan_dns || !normal_ipv6_text(word, 0, &address, nullptr) ||
            ipv6_unicast_problem(address) != nullptr || std::strchr(plan.lan_dns, ',') != nullptr)
            refuse("FERRIN_LAN_DNS", plan.lan_dns);
    if (bad == nullptr)
        return 0;
    syslog(LOG_ERR, "%s: %s \"%s\": not a value ferrin-6rd writes", name, bad,
           shown(value).c_str());
    return -1;
}

}  // namespace

void format_env(const tunnel_plan& plan, const char* tun, char* out, size_t size)
{
    int used = std::snprintf(out, size,
                             "# ferrin@%s from the DHCP lease on %s, written by ferrin-6rd and\n"
                             "# removed when the lease ends. The unit reads it after /etc/ferrin/%s.env.\n",
                             tun, plan.uplink, tun);
    for (const env_field& field : Fields)
        used = put_line(out, size, used, field.key, field_of(plan, field),
                        std::strcmp(field.key, "FERRIN_OPTS") == 0);
    char list[max_lans * address_text_size];
    lan_list(plan, false, list, sizeof list);
    used = put_line(out, size, used, lan_key, list, false);
    lan_list(plan, true, list, sizeof list);
    used = put_line(out, size, used, lan_address_key, list, false);
    for (const env_field& field : LanFields)
        used = put_line(out, size, used, field.key, field_of(plan, field), false);
    put_line(out, size, used, firewall_key, plan.lan_firewall ? "yes" : "no", false);
}

int parse_env(const char* text, const char* name, tunnel_plan* out)
{
    *out = tunnel_plan{};
    out->lan_firewall = 1;
    // Every file written ends with a newline; one without was cut short
    // (a crash while writing elsewhere, a full disk, a hand edit).
    const size_t length = std::strlen(text);
    if (length == 0 || text[length - 1] != '\n') {
        syslog(LOG_ERR, "%s: cut short: %s", name, length == 0 ? "empty" : "no newline at its end");
        return -1;
    }
    char names[max_lans * interface_name_size] = "";
    char addresses[max_lans * address_text_size] = "";
    unsigned seen = 0;
    int line = 0;
    for (const char* p = text; *p != '\0';) {
        ++line;
        const char* next = nullptr;
        const char* end = line_end(p, &next);
        if (p == end || *p == '#') {
            p = next;
            continue;
        }
        const char* equals = static_cast<const char*>(std::memchr(p, '=', end - p));
        if (equals == nullptr) {
            syslog(LOG_ERR, "%s:%d: not a KEY=VALUE line", name, line);
            return -1;
        }
        const char* value = equals + 1;
        const char* value_end = end;
        if (value_end - value >= 2 && *value == '"' && value_end[-1] == '"') {
            ++value;
            --value_end;
        }
        const std::string key(p, static_cast<size_t>(equals - p));
        const size_t length = static_cast<size_t>(value_end - value);
        for (size_t k = 0; k < std::size(required_keys); ++k)
            if (key == required_keys[k])
                seen |= 1u << k;
        const env_field* field = find_field(key.c_str());
        char* target = field != nullptr ? field_of(out, *field) : nullptr;
        size_t target_size = field != nullptr ? field->size : 0;
        if (key == lan_key) {
            target = names;
            target_size = sizeof names;
        } else if (key == lan_address_key) {
            target = addresses;
            target_size = sizeof addresses;
        }
        if (key == firewall_key) {
            const std::string yes_no(value, length);
            if (yes_no != "yes" && yes_no != "no") {
                syslog(LOG_ERR, "%s:%d: %s \"%s\": not a value ferrin-6rd writes", name, line,
                       firewall_key, shown(yes_no.c_str()).c_str());
                return -1;
            }
            out->lan_firewall = yes_no == "yes";
        }
        if (target != nullptr) {
            if (length >= target_size) {
                syslog(LOG_ERR, "%s:%d: value of %s too long", name, line, key.c_str());
                return -1;
            }
            std::memcpy(target, value, length);
            target[length] = '\0';
        }
        p = next;
    }
    // Every version of the helper wrote these.
    for (size_t k = 0; k < std::size(required_keys); ++k)
        if ((seen & 1u << k) == 0) {
            syslog(LOG_ERR, "%s: no %s", name, required_keys[k]);
            return -1;
        }
    if (read_lan_lists(names, addresses, name, out) == -1)
        return -1;
    return check_values(*out, name);
}

void env_path(const char* tun, char* out, size_t size)
{
    std::snprintf(out, size, "%s/%s.env", state_dir, tun);
}

int read_env(const char* tun, tunnel_plan* plan, char* text, size_t size)
{
    char path[128];
    env_path(tun, path, sizeof path);
    const int found = read_text_file(path, text, size);
    if (found <= 0)
        return found;
    if (parse_env(text, path, plan) == -1)
        return -1;
    return 1;
}

int write_env(const char* tun, const char* text)
{
    char path[128];
    env_path(tun, path, sizeof path);
    // /run is memory: a crash takes the folder with it and the next lease
    // writes the file again.
    return replace_file(path, text, 0);
}

int remove_env(const char* tun)
{
    char path[128];
    env_path(tun, path, sizeof path);
    return remove_file(path);
}

void up_path(const char* tun, char* out, size_t size)
{
    std::snprintf(out, size, "%s/%s.up", state_dir, tun);
}

int lock_state(int seconds)
{
    char path[128];
    std::snprintf(path, sizeof path, "%s/lock", state_dir);
    if (mkdir(state_dir, 0755) == -1 && errno != EEXIST) {
        syslog(LOG_ERR, "%s: mkdir: %m", state_dir);
        return -1;
    }
    // Only root may open it: whoever holds it stops every lease event (a
    // read-only descriptor is enough for flock), so a lock that others could
    // open is made root's alone again.
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd == -1) {
        syslog(LOG_ERR, "%s: open: %m", path);
        return -1;
    }
    if (fchmod(fd, 0600) == -1) {
        syslog(LOG_ERR, "%s: fchmod: %m", path);
        close(fd);
        return -1;
    }
    // Another call holds it for a few commands at most; one that holds it
    // for longer is stuck, and the DHCP client must not wait for it. On the
    // monotonic clock: a wall clock stepped forward would end the wait at
    // once.
    const double deadline = monotonic_seconds() + seconds;
    while (flock(fd, LOCK_EX | LOCK_NB) == -1) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            syslog(LOG_ERR, "%s: flock: %m", path);
            close(fd);
            return -1;
        }
        if (monotonic_seconds() >= deadline) {
            syslog(LOG_ERR, "%s: still locked by another ferrin-6rd after %d seconds", path,
                   seconds);
            close(fd);
            return -1;
        }
        timespec pause{0, 20 * 1000000L};
        nanosleep(&pause, nullptr);
    }
    return 0;
}
