// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/detach.h"

#include "trace/log.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr char null_device[] = "/dev/null";

}  // namespace

int open_standard_descriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        // The lower ones are open, so the lowest free number is this one.
        if (open(null_device, O_RDWR) == -1) {
            log_message(LOG_ERR, "open: %s: %m", null_device);
            return -1;
        }
    }
    return 0;
}

int detach()
{
    const int null_fd = open(null_device, O_RDWR);
    if (null_fd == -1) {
        log_message(LOG_ERR, "daemon: %m");
        return -1;
    }
    const pid_t child = fork();
    if (child == -1) {
        log_message(LOG_ERR, "daemon: %m");
        close(null_fd);
        return -1;
    }
    if (child != 0)
        _exit(0);

    // None of these can fail here: the child leads no process group, / exists,
    // and dup2 onto open descriptors needs no new slot.
    setsid();
    if (chdir("/") == -1) {
        // Nothing to report to: the starting process has gone.
    }
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        dup2(null_fd, fd);
    if (null_fd > STDERR_FILENO)
        close(null_fd);
    return 0;
}
