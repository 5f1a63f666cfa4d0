// SPDX-License-Identifier: BSD-2-Clause
/*
 * The sending loop of the two load generators: one message, batch copies of
 * it per sendmmsg() call, as fast as the kernel takes them, for a bounded
 * time. SIGTERM or SIGINT ends the run early, and the caller still prints
 * the count. Include after defining _GNU_SOURCE.
 */
#pragma once

#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

enum { batch = 64 };

static volatile sig_atomic_t stop_requested;

static void request_stop(int signal_number)
{
    (void)signal_number;
    stop_requested = 1;
}

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/*
 * Sends *iov on fd to target (NULL on a connected socket) for the given
 * number of seconds, or until a stop signal; returns how many messages the
 * kernel accepted.
 */
static unsigned long long blast(int fd, struct iovec* iov, void* target, socklen_t target_len,
                                double seconds)
{
    struct mmsghdr messages[batch];
    memset(messages, 0, sizeof messages);
    for (int i = 0; i < batch; ++i) {
        messages[i].msg_hdr.msg_name = target;
        messages[i].msg_hdr.msg_namelen = target_len;
        messages[i].msg_hdr.msg_iov = iov;
        messages[i].msg_hdr.msg_iovlen = 1;
    }

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGINT, &action, NULL);

    unsigned long long sent = 0;
    const double end = now() + seconds;
    while (!stop_requested && now() < end) {
        int done = sendmmsg(fd, messages, batch, 0);
        if (done > 0)
            sent += (unsigned long long)done;
    }
    return sent;
}
