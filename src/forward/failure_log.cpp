// SPDX-License-Identifier: BSD-2-Clause
#include "forward/failure_log.h"

#include "trace/log.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <ctime>

namespace {

// The message of each kind is "<prefix>: <error text>".
constexpr const char* failure_prefix[PACKET_FAILURE_KINDS] = {
    "read: tun", "recv: raw", "sendto: raw", "write: tun",
};

constexpr int64_t line_cost_ms = 1000;
constexpr int64_t credit_limit_ms = failure_burst * line_cost_ms;

failure_limit Limits[PACKET_FAILURE_KINDS];
int LastErrno[PACKET_FAILURE_KINDS];

int64_t monotonic_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void log_failure_line(packet_failure kind, int error, uint64_t held)
{
    errno = error;
    if (held == 0)
        log_message(LOG_ERR, "%s: %m", failure_prefix[kind]);
    else
        log_message(LOG_ERR, "%s: %m (%" PRIu64 " more since the last message)",
                    failure_prefix[kind], held);
}

}  // namespace

bool failure_admitted(failure_limit& limit, int64_t now_ms, uint64_t* held_before)
{
    if (!limit.started) {
        limit.started = true;
        limit.credit_ms = credit_limit_ms;
        limit.last_ms = now_ms;
    }
    // A clock that seems to go back earns nothing.
    if (now_ms > limit.last_ms) {
        const int64_t earned = now_ms - limit.last_ms;
        limit.credit_ms = earned >= credit_limit_ms - limit.credit_ms ? credit_limit_ms
                                                                       : limit.credit_ms + earned;
        limit.last_ms = now_ms;
    }
    if (limit.credit_ms < line_cost_ms) {
        ++limit.held;
        return false;
    }
    limit.credit_ms -= line_cost_ms;
    *held_before = limit.held;
    limit.held = 0;
    return true;
}

void log_packet_failure(packet_failure kind)
{
    const int error = errno;
    LastErrno[kind] = error;
    uint64_t held = 0;
    if (failure_admitted(Limits[kind], monotonic_ms(), &held))
        log_failure_line(kind, error, held);
}

void log_held_failures()
{
    for (int kind = 0; kind < PACKET_FAILURE_KINDS; ++kind) {
        failure_limit& limit = Limits[kind];
        if (limit.held == 0)
            continue;
        // The last one held is logged now; the line names the others, so
        // that every line stands for one failure and the count it gives.
        log_failure_line(static_cast<packet_failure>(kind), LastErrno[kind], limit.held - 1);
        limit.held = 0;
    }
}

void reset_failure_log()
{
    for (int kind = 0; kind < PACKET_FAILURE_KINDS; ++kind) {
        Limits[kind] = failure_limit{};
        LastErrno[kind] = 0;
    }
}
