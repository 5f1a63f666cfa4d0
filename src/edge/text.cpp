// SPDX-License-Identifier: BSD-2-Clause
#include "edge/text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

int next_word(const char** p, char* out, size_t size)
{
    const char* at = *p;
    while (*at == ' ' || *at == '\t' || *at == ',')
        ++at;
    const size_t length = std::strcspn(at, " \t,");
    *p = at + length;
    if (length == 0)
        return 0;
    if (length >= size)
        return -1;
    std::memcpy(out, at, length);
    out[length] = '\0';
    return 1;
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

namespace {

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

int replace_file(const char* path, const char* text, int durable)
{
    const std::string folder(path, static_cast<size_t>(std::strrchr(path, '/') - path));
    if (mkdir(folder.c_str(), 0755) == -1 && errno != EEXIST) {
        syslog(LOG_ERR, "%s: mkdir: %m", folder.c_str());
        return -1;
    }
    // In the same folder, so that the rename replaces the file in one step.
    char temporary[256];
    std::snprintf(temporary, sizeof temporary, "%s.XXXXXX", path);
    const int fd = mkostemp(temporary, O_CLOEXEC);
    if (fd == -1) {
        syslog(LOG_ERR, "%s: mkostemp: %m", temporary);
        return -1;
    }
    if (write_all(fd, text, std::strlen(text)) == -1 || fchmod(fd, 0644) == -1 ||
        (durable && fsync(fd) == -1)) {
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
    if (durable) {
        const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir != -1) {
            fsync(dir);
            close(dir);
        }
    }
    return 0;
}

int remove_file(const char* path)
{
    if (unlink(path) == -1 && errno != ENOENT) {
        syslog(LOG_ERR, "%s: unlink: %m", path);
        return -1;
    }
    return 0;
}
