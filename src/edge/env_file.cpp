// SPDX-License-Identifier: BSD-2-Clause
#include "edge/env_file.h"

#include "edge/text.h"

#include <dirent.h>
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
        if (key == firewall_key)
            out->lan_firewall = std::string(value, length) != "no";
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
    return read_lan_lists(names, addresses, name, out);
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

int env_tunnels(char (*out)[16], int max)
{
    DIR* dir = opendir(state_dir);
    if (dir == nullptr)
        return 0;
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        const size_t length = std::strlen(entry->d_name);
        if (count == max || length <= 4 || length - 4 >= 16 ||
            std::strcmp(entry->d_name + length - 4, ".env") != 0)
            continue;
        std::memcpy(out[count], entry->d_name, length - 4);
        out[count][length - 4] = '\0';
        if (valid_plain_interface_name(out[count]))
            ++count;
    }
    closedir(dir);
    return count;
}

int lock_state(int seconds)
{
    char path[128];
    std::snprintf(path, sizeof path, "%s/lock", state_dir);
    if (mkdir(state_dir, 0755) == -1 && errno != EEXIST) {
        syslog(LOG_ERR, "%s: mkdir: %m", state_dir);
        return -1;
    }
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd == -1) {
        syslog(LOG_ERR, "%s: open: %m", path);
        return -1;
    }
    // Another call holds it for a few commands at most; one that holds it
    // for longer is stuck, and the DHCP client must not wait for it.
    const time_t deadline = time(nullptr) + seconds;
    while (flock(fd, LOCK_EX | LOCK_NB) == -1) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            syslog(LOG_ERR, "%s: flock: %m", path);
            close(fd);
            return -1;
        }
        if (time(nullptr) >= deadline) {
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
