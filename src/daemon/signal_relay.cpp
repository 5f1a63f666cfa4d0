// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/signal_relay.h"

#include "trace/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

int SignalPipe[2] = {-1, -1};
volatile sig_atomic_t StopRequested = 0;

void relay_signal(int signal_number)
{
    // A stop must not depend on room in the pipe.
    if (signal_number == SIGINT || signal_number == SIGTERM)
        StopRequested = 1;
    // The handler may interrupt a call whose error is about to be reported;
    // keep its errno intact.
    const int saved_errno = errno;
    const int record = signal_number;
    // A full pipe drops this one record: the handler never waits.
    if (write(SignalPipe[1], &record, sizeof record) < 0) {
    }
    errno = saved_errno;
}

int install_signal_relay()
{
    if (pipe(SignalPipe) == -1) {
        log_message(LOG_ERR, "pipe: %m");
        return -1;
    }

    // The handler must never wait: the write end does not block.
    const int flags = fcntl(SignalPipe[1], F_GETFL);
    const char* failed = nullptr;
    if (flags == -1)
        failed = "fcntl(F_GETFL)";
    else if (fcntl(SignalPipe[1], F_SETFL, flags | O_NONBLOCK) == -1)
        failed = "fcntl(O_NONBLOCK)";
    if (failed != nullptr) {
        log_message(LOG_ERR, "%s: %m", failed);
        close(SignalPipe[0]);
        close(SignalPipe[1]);
        SignalPipe[0] = SignalPipe[1] = -1;
        return -1;
    }

    struct sigaction action{};
    action.sa_handler = relay_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGHUP, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(ReportSignal, &action, nullptr);

    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);
    return 0;
}
