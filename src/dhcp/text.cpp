// SPDX-License-Identifier: BSD-2-Clause
#include "dhcp/text.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

void copy_text(char* out, size_t size, const char* text)
{
    const size_t length = strnlen(text, size - 1);
    std::memcpy(out, text, length);
    out[length] = '\0';
}

const char* line_end(const char* p, const char** next)
{
    const char* end = std::strchr(p, '\n');
    if (end == nullptr)
        end = p + std::strlen(p);
    *next = *end == '\0' ? end : end + 1;
    return end;
}

void join_words(const char* const* words, int count, char* out, size_t size)
{
    size_t used = 0;
    out[0] = '\0';
    for (int i = 0; i < count && used + 1 < size; ++i) {
        const int n = std::snprintf(out + used, size - used, "%s%s", i ? " " : "", words[i]);
        if (n < 0)
            break;
        used += static_cast<size_t>(n);
    }
}

int read_text_file(const char* path, char* text, size_t size)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        if (errno == ENOENT)
            return 0;
        syslog(LOG_ERR, "%s: open: %m", path);
        return -1;
    }
    size_t used = 0;
    for (;;) {
        const ssize_t got = read(fd, text + used, size - 1 - used);
        if (got == -1 && errno == EINTR)
            continue;
        if (got == -1) {
            syslog(LOG_ERR, "%s: read: %m", path);
            close(fd);
            return -1;
        }
        if (got == 0)
            break;
        used += static_cast<size_t>(got);
        if (used == size - 1) {
            syslog(LOG_ERR, "%s: larger than %zu bytes", path, size - 1);
            close(fd);
            return -1;
        }
    }
    close(fd);
    text[used] = '\0';
    if (std::strlen(text) != used) {
        syslog(LOG_ERR, "%s: not a text file", path);
        return -1;
    }
    return 1;
}
