// SPDX-License-Identifier: BSD-2-Clause
#include "dhcp/text.h"

#include <fcntl.h>
#include <sys/stat.h>
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
    // Only a regular file is read. A FIFO would hold the open until some
    // writer came, and the DHCP client waiting for its hook with it; opening
    // a device may do anything. Looked at before the open, so that neither is
    // opened, and again after it, for one that took the path meanwhile.
    struct stat info;
    if (stat(path, &info) == -1) {
        if (errno == ENOENT)
            return 0;
        syslog(LOG_ERR, "%s: stat: %m", path);
        return -1;
    }
    int fd = -1;
    if (S_ISREG(info.st_mode)) {
        fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd == -1 && errno == ENOENT)
            return 0;
        if (fd == -1) {
            syslog(LOG_ERR, "%s: open: %m", path);
            return -1;
        }
    }
    if (fd == -1 || fstat(fd, &info) == -1 || !S_ISREG(info.st_mode)) {
        syslog(LOG_ERR, "%s: not a regular file", path);
        if (fd != -1)
            close(fd);
        return -1;
    }
    const size_t limit = size - 1;
    size_t used = 0;
    for (;;) {
        // Once the limit is read, one byte more tells a file of exactly the
        // limit from a longer one.
        char beyond;
        const ssize_t got = used < limit ? read(fd, text + used, limit - used)
                                         : read(fd, &beyond, 1);
        if (got == -1 && errno == EINTR)
            continue;
        if (got == -1) {
            syslog(LOG_ERR, "%s: read: %m", path);
            close(fd);
            return -1;
        }
        if (got == 0)
            break;
        if (used == limit) {
            syslog(LOG_ERR, "%s: larger than %zu bytes", path, limit);
            close(fd);
            return -1;
        }
        used += static_cast<size_t>(got);
    }
    close(fd);
    text[used] = '\0';
    if (std::strlen(text) != used) {
        syslog(LOG_ERR, "%s: not a text file", path);
        return -1;
    }
    return 1;
}
