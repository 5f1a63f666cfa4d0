// SPDX-License-Identifier: BSD-2-Clause
#include "edge/text.h"

#include <dirent.h>
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

void add_to_list(std::string* list, const std::string& item)
{
    *list += (list->empty() ? "" : ", ") + item;
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
        // A link that leads nowhere is a mistake to name, not a missing file:
        // taken as none, it would silently stand for the defaults.
        if (errno == ENOENT && lstat(path, &info) == 0 && S_ISLNK(info.st_mode)) {
            syslog(LOG_ERR, "%s: a symbolic link to a file that does not exist", path);
            return -1;
        }
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

// The temporary files of earlier calls killed before their rename: every
// writer of these folders holds the helper's lock, so none is in use.
void remove_leftovers(const std::string& folder, const char* name)
{
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return;
    const size_t length = std::strlen(name);
    while (const dirent* entry = readdir(dir)) {
        const char* n = entry->d_name;
        // mkostemp's six letters and digits after the name and a dot.
        const char* tail = n + length + 1;
        if (std::strncmp(n, name, length) == 0 && n[length] == '.' && std::strlen(tail) == 6 &&
            std::strspn(tail, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789") == 6)
            unlinkat(dirfd(dir), n, 0);
    }
    closedir(dir);
}

// Logs the call that failed with its error, closes fd and removes the
// temporary file when given; -1, the error left in errno for the caller.
int failed(const char* path, const char* call, int fd = -1, const char* temporary = nullptr)
{
    const int error = errno;
    syslog(LOG_ERR, "%s: %s: %s", path, call, std::strerror(error));
    if (fd != -1)
        close(fd);
    if (temporary != nullptr)
        unlink(temporary);
    errno = error;
    return -1;
}

}  // namespace

int replace_file(const char* path, const char* text, int durable)
{
    const char* slash = std::strrchr(path, '/');
    const std::string folder(path, static_cast<size_t>(slash - path));
    // Readable by all whatever the umask (a unit's step runs with 0077):
    // radvd, as its own user, reads its configuration from such a folder.
    if (mkdir(folder.c_str(), 0755) == 0)
        chmod(folder.c_str(), 0755);
    else if (errno != EEXIST)
        return failed(folder.c_str(), "mkdir");
    remove_leftovers(folder, slash + 1);
    // In the same folder, so that the rename replaces the file in one step.
    char temporary[256];
    std::snprintf(temporary, sizeof temporary, "%s.XXXXXX", path);
    const int fd = mkostemp(temporary, O_CLOEXEC);
    if (fd == -1)
        return failed(temporary, "mkostemp");
    // A full disk may show only at fsync or close: both are checked before
    // the rename puts the file in place.
    if (write_all(fd, text, std::strlen(text)) == -1)
        return failed(temporary, "write", fd, temporary);
    if (fchmod(fd, 0644) == -1)
        return failed(temporary, "fchmod", fd, temporary);
    if (durable && fsync(fd) == -1)
        return failed(temporary, "fsync", fd, temporary);
    if (close(fd) == -1)
        return failed(temporary, "close", -1, temporary);
    if (rename(temporary, path) == -1)
        return failed(path, "rename", -1, temporary);
    if (durable) {
        // Until the folder is on the disk, a power cut may undo the rename.
        const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir == -1)
            return failed(folder.c_str(), "open");
        if (fsync(dir) == -1)
            return failed(folder.c_str(), "fsync", dir);
        close(dir);
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
