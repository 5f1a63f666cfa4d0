// SPDX-License-Identifier: BSD-2-Clause
#include "dhcp/env_file.h"

#include "dhcp/text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    FIELD("FERRIN_LAN", lan),
    FIELD("FERRIN_LAN_ADDRESS", lan_address),
    FIELD("FERRIN_UNREACHABLE", unreachable),
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

int write_all(int fd, const char* text, size_t length)
{
    while (length > 0) {
        const ssize_t put = write(fd, text, length);
        if (put == -1 && errno == EINTR)
            continue;
        if (put == -1)
            return -1;
        text += put;
        length -= static_cast<size_t>(put);
    }
    return 0;
}

}  // namespace

void format_env(const tunnel_plan& plan, const char* tun, char* out, size_t size)
{
    int used = std::snprintf(out, size,
                             "# ferrin@%s from the DHCP lease on %s, written by ferrin-6rd and\n"
                             "# removed when the lease ends. The unit reads it after /etc/ferrin/%s.env.\n",
                             tun, plan.uplink, tun);
    for (const env_field& field : Fields) {
        if (used < 0 || static_cast<size_t>(used) >= size)
            return;
        // The options are several words: quoted, the unit takes them as one
        // value and splits it where ExecStart says $FERRIN_OPTS.
        const char* quote = std::strcmp(field.key, "FERRIN_OPTS") == 0 ? "\"" : "";
        used += std::snprintf(out + used, size - static_cast<size_t>(used), "%s=%s%s%s\n",
                              field.key, quote, field_of(plan, field), quote);
    }
}

int parse_env(const char* text, const char* name, tunnel_plan* out)
{
    *out = tunnel_plan{};
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
        for (const env_field& field : Fields) {
            const size_t key_length = std::strlen(field.key);
            if (static_cast<size_t>(equals - p) != key_length ||
                std::strncmp(p, field.key, key_length) != 0)
                continue;
            const size_t length = static_cast<size_t>(value_end - value);
            if (length >= field.size) {
                syslog(LOG_ERR, "%s:%d: value of %s too long", name, line, field.key);
                return -1;
            }
            std::memcpy(field_of(out, field), value, length);
            field_of(out, field)[length] = '\0';
        }
        p = next;
    }
    return 0;
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
    if (mkdir(state_dir, 0755) == -1 && errno != EEXIST) {
        syslog(LOG_ERR, "%s: mkdir: %m", state_dir);
        return -1;
    }
    char path[128];
    char temporary[160];
    env_path(tun, path, sizeof path);
    // In the same folder, so that the rename replaces the file in one step.
    std::snprintf(temporary, sizeof temporary, "%s.XXXXXX", path);
    const int fd = mkostemp(temporary, O_CLOEXEC);
    if (fd == -1) {
        syslog(LOG_ERR, "%s: mkostemp: %m", temporary);
        return -1;
    }
    // /run is memory: no fsync, a crash takes the folder with it and the next
    // lease writes the file again.
    if (write_all(fd, text, std::strlen(text)) == -1 || fchmod(fd, 0644) == -1) {
        syslog(LOG_ERR, "%s: write: %m", temporary);
        close(fd);
        unlink(temporary);
        return -1;
    }
    close(fd);
    if (rename(temporary, path) == -1) {
        syslog(LOG_ERR, "%s: rename: %m", path);
        unlink(temporary);
        return -1;
    }
    return 0;
}

int remove_env(const char* tun)
{
    char path[128];
    env_path(tun, path, sizeof path);
    if (unlink(path) == -1 && errno != ENOENT) {
        syslog(LOG_ERR, "%s: unlink: %m", path);
        return -1;
    }
    return 0;
}
