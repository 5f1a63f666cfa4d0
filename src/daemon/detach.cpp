// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/detach.h"

#include "trace/log.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr char null_device[] = "/dev/null";

// The daemon's end of the pipe its starter waits on, until it is ready.
int ReadyFd = -1;

// In the starting process: waits until the daemon is ready, or has ended
// (its end of the pipe closed unwritten), and ends with the start's status.
[[noreturn]] void await_daemon(pid_t daemon, int ready_fd)
{
    char byte = 0;
    ssize_t got;
    do
        got = read(ready_fd, &byte, 1);
    while (got == -1 && errno == EINTR);
    if (got == 1)
        _exit(0);
    // The daemon has said why on the standard error it still shared. Its
    // end of the pipe closes while it exits: once collected, none is left.
    while (waitpid(daemon, nullptr, 0) == -1 && errno == EINTR) {
    }
    _exit(1);
}

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
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) == -1) {
        log_message(LOG_ERR, "daemon: %m");
        return -1;
    }
    const int null_fd = open(null_device, O_RDWR);
    if (null_fd == -1) {
        log_message(LOG_ERR, "daemon: %m");
        close(ready[0]);
        close(ready[1]);
        return -1;
    }
    const pid_t child = fork();
    if (child == -1) {
        log_message(LOG_ERR, "daemon: %m");
        close(null_fd);
        close(ready[0]);
        close(ready[1]);
        return -1;
    }
    if (child != 0) {
        close(ready[1]);
        await_daemon(child, ready[0]);
    }

    // None of these can fail here: the child leads no process group, / exists,
    // and dup2 onto open descriptors needs no new slot. Standard error stays
    // the starter's until the daemon is ready, for the messages of a failure.
    close(ready[0]);
    ReadyFd = ready[1];
    setsid();
    if (chdir("/") == -1) {
        // / always exists.
    }
    dup2(null_fd, STDIN_FILENO);
    dup2(null_fd, STDOUT_FILENO);
    if (null_fd > STDERR_FILENO)
        close(null_fd);
    return 0;
}

void report_ready()
{
    // Standard input has been the null device since the detach.
    dup2(STDIN_FILENO, STDERR_FILENO);
    log_open(log_ident(), false);
    const char byte = 1;
    // A starter that is gone (killed) cannot be told; the daemon runs on.
    while (write(ReadyFd, &byte, 1) == -1 && errno == EINTR) {
    }
    close(ReadyFd);
    ReadyFd = -1;
}
