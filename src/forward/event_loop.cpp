// SPDX-License-Identifier: BSD-2-Clause
#include "forward/event_loop.h"

#include "daemon/signal_relay.h"
#include "forward/failure_log.h"
#include "forward/inbound.h"
#include "forward/outbound.h"
#include "trace/log.h"

#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstring>

namespace {

// What a signal record asks of the loop.
bool dispatch_signal(const TunnelContext& ctx, int signal_number)
{
    if (signal_number == SIGHUP)
        return false;
    if (signal_number == SIGINT || signal_number == SIGTERM)
        return true;
    if (signal_number == ReportSignal) {
        report_statistics(ctx);
        log_held_failures();
    }
    else
        log_message(LOG_ERR, "unexpected signal %d", signal_number);
    return false;
}

}  // namespace

void report_statistics(const TunnelContext& ctx)
{
    log_message(LOG_INFO,
           "Ipkts %" PRIu64 ", Ierrs %" PRIu64 ", Irjct %" PRIu64 ", Ibytes %" PRIu64
           ", Opkts %" PRIu64 ", Oerrs %" PRIu64 ", Orjct %" PRIu64 ", Obytes %" PRIu64,
           ctx.Ipkts, ctx.Ierrs, ctx.Irjct, ctx.Ibytes, ctx.Opkts, ctx.Oerrs, ctx.Orjct,
           ctx.Obytes);
}

int check_select_limit(const TunnelContext& ctx)
{
    const int descriptors[] = {ctx.tun_fd, ctx.raw_fd, SignalPipe[0]};
    for (const int fd : descriptors) {
        if (fd < 0 || fd >= FD_SETSIZE) {
            log_message(LOG_ERR,
                        "descriptor %d is outside the range select can wait on (0 to %d)", fd,
                        FD_SETSIZE - 1);
            return -1;
        }
    }
    return 0;
}

int run_loop(TunnelContext& ctx, const loop_paths& paths)
{
    // Start-up has checked every descriptor against FD_SETSIZE
    // (check_select_limit).
    const int signal_fd = SignalPipe[0];
    fd_set master;
    FD_ZERO(&master);
    FD_SET(ctx.tun_fd, &master);
    FD_SET(ctx.raw_fd, &master);
    FD_SET(signal_fd, &master);
    int count = ctx.tun_fd > ctx.raw_fd ? ctx.tun_fd : ctx.raw_fd;
    count = (count > signal_fd ? count : signal_fd) + 1;

    for (;;) {
        fd_set ready = master;
        if (select(count, &ready, nullptr, nullptr, nullptr) == -1) {
            // The signal's record is in the pipe, or the stop flag is set
            // and the full pipe wakes the next wait at once.
            if (errno == EINTR)
                continue;
            log_message(LOG_ERR, "select: %m");
            return -1;
        }

        // One packet (or one batch) per direction, then one signal: a stop
        // requested in the same wake-up still lets the pending packets
        // through first. A path fails only when the tunnel device is gone.
        if (FD_ISSET(ctx.tun_fd, &ready) && paths.outbound(ctx) == -1)
            return -1;
        if (FD_ISSET(ctx.raw_fd, &ready) && paths.inbound(ctx) == -1)
            return -1;
        if (FD_ISSET(signal_fd, &ready)) {
            int signal_number = 0;
            const ssize_t got = read(signal_fd, &signal_number, sizeof signal_number);
            if (got == -1) {
                log_message(LOG_ERR, "read: %m");
                return -1;
            }
            if (got != sizeof signal_number) {
                // Cannot happen while every record is one whole write and the
                // write end stays open; waiting again would spin.
                log_message(LOG_ERR, "read: short signal record (%zd bytes)", got);
                return -1;
            }
            if (dispatch_signal(ctx, signal_number))
                return 1;
        }
        if (StopRequested)
            return 1;
    }
}

int run_event_loop(TunnelContext& ctx)
{
    return run_loop(ctx, loop_paths{tun2raw, raw2tun});
}
