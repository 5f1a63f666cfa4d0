// SPDX-License-Identifier: BSD-2-Clause
#include "dhcp/system_actions.h"

#include "dhcp/text.h"

#include <fcntl.h>
#include <net/if.h>
#include <signal.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// systemctl --no-block and ip return at once; a command still running after
// this long is stuck, and the DHCP client must not be held by it.
constexpr int command_seconds = 30;

void pause_ms(long ms)
{
    timespec pause{0, ms * 1000000L};
    while (nanosleep(&pause, &pause) == -1 && errno == EINTR) {
    }
}

double now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Runs argv (looked up in PATH) and returns its exit status, or -1 after
// logging when it could not run, was killed or took too long. With quiet,
// its standard error goes to /dev/null and a non-zero status is not logged.
int run_command(const char* const* argv, int quiet)
{
    char text[512];
    int count = 0;
    while (argv[count] != nullptr)
        ++count;
    join_words(argv, count, text, sizeof text);

    const pid_t pid = fork();
    if (pid == -1) {
        syslog(LOG_ERR, "fork: %m");
        return -1;
    }
    if (pid == 0) {
        // ip and systemctl get the standard three and nothing else: neither
        // our descriptors nor any the DHCP client left open to its hooks.
        close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
        if (quiet) {
            const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
            if (null != -1)
                dup2(null, STDERR_FILENO);
        }
        execvp(argv[0], const_cast<char* const*>(argv));
        syslog(LOG_ERR, "%s: exec: %m", argv[0]);
        _exit(127);
    }

    const double deadline = now() + command_seconds;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (done == -1 && errno != EINTR) {
            syslog(LOG_ERR, "waitpid: %m");
            return -1;
        }
        if (now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            syslog(LOG_ERR, "%s: still running after %d seconds; killed", text, command_seconds);
            return -1;
        }
        pause_ms(10);
    }
    if (WIFSIGNALED(status)) {
        syslog(LOG_ERR, "%s: killed by signal %d", text, WTERMSIG(status));
        return -1;
    }
    const int code = WEXITSTATUS(status);
    if (code != 0 && !quiet)
        syslog(LOG_ERR, "%s: exit status %d", text, code);
    return code;
}

void unit_name(const char* tun, char* out, size_t size)
{
    std::snprintf(out, size, "ferrin@%s.service", tun);
}

}  // namespace

int unit_active(const char* tun)
{
    char unit[64];
    unit_name(tun, unit, sizeof unit);
    const char* argv[] = {"systemctl", "is-active", "--quiet", unit, nullptr};
    return run_command(argv, 1) == 0 ? 1 : 0;
}

int unit_command(const char* verb, const char* tun)
{
    char unit[64];
    unit_name(tun, unit, sizeof unit);
    // --no-block: the unit starts after network-online.target, which may wait
    // for the very DHCP client that runs this hook. Waiting for the job here
    // would hold the client, and the boot with it.
    const char* argv[] = {"systemctl", "--no-block", verb, unit, nullptr};
    return run_command(argv, 0) == 0 ? 0 : -1;
}

int run_ip(const char* const* args, int quiet)
{
    const char* argv[16] = {"ip", "-6"};
    int n = 2;
    for (int i = 0; args[i] != nullptr && n < 15; ++i)
        argv[n++] = args[i];
    argv[n] = nullptr;
    return run_command(argv, quiet) == 0 ? 0 : -1;
}

int wait_for_interface(const char* name, int seconds)
{
    const double deadline = now() + seconds;
    while (if_nametoindex(name) == 0) {
        if (now() >= deadline) {
            syslog(LOG_ERR, "%s: no such interface after %d seconds", name, seconds);
            return -1;
        }
        pause_ms(20);
    }
    return 0;
}
