// SPDX-License-Identifier: BSD-2-Clause
// Linux has no O_EXLOCK: the file is opened, then locked with flock(), which
// belongs to the open file, so the lock survives the detach with the
// descriptor and ends when it is closed.
#include "daemon/pidfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

int open_locked_file(const char* path)
{
    const int fd = open(path, O_WRONLY | O_NONBLOCK | O_CREAT, 0644);
    if (fd == -1)
        return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) == -1) {
        const int saved_errno = errno;
        close(fd);
        errno = saved_errno;
        return -1;
    }
    return fd;
}
