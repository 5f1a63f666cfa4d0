// SPDX-License-Identifier: BSD-2-Clause
#include "forward/event_loop.h"

#include "daemon/signal_relay.h"
#include "testing.h"

#include <fcntl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using test::logged;

// A loop whose tunnel device and raw socket never become readable, and
// whose signal pipe the test writes.
struct IdleLoop {
    TunnelContext ctx{};
    int device[2] = {-1, -1};
    int raw[2] = {-1, -1};
    int signals[2] = {-1, -1};
    int saved_pipe[2] = {SignalPipe[0], SignalPipe[1]};

    IdleLoop()
    {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, device), 0);
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, raw), 0);
        EXPECT_EQ(pipe(signals), 0);
        ctx.tun_fd = device[0];
        ctx.raw_fd = raw[0];
        SignalPipe[0] = signals[0];
        SignalPipe[1] = signals[1];
        StopRequested = 0;
    }
    ~IdleLoop()
    {
        SignalPipe[0] = saved_pipe[0];
        SignalPipe[1] = saved_pipe[1];
        StopRequested = 0;
        for (int fd : {device[0], device[1], raw[0], raw[1], signals[0], signals[1]})
            if (fd >= 0)
                close(fd);
    }

    void send(const std::vector<int>& records)
    {
        for (int record : records)
            ASSERT_EQ(write(signals[1], &record, sizeof record), (ssize_t)sizeof record);
    }

    // Runs the loop with the log copied to standard error; its result and what it wrote.
    int run(std::string* output)
    {
        test::LogCopiedToStderr copied;
        test::CapturedStderr captured;
        const int result = run_event_loop(ctx);
        *output = captured.text();
        return result;
    }
};

TEST(EventLoop, DispatchesEachRecordAndStopsOnInterruptOrTerminate)
{
    for (int stop : {SIGINT, SIGTERM}) {
        IdleLoop loop;
        loop.ctx.Ipkts = 1;
        loop.ctx.Ierrs = 2;
        loop.ctx.Irjct = 3;
        loop.ctx.Ibytes = 4;
        loop.ctx.Opkts = 5;
        loop.ctx.Oerrs = 6;
        loop.ctx.Orjct = 7;
        loop.ctx.Obytes = 18446744073709551615ull;
        loop.send({SIGHUP, SIGUSR1, 0, 3, -7, SIGUSR1, stop, SIGUSR1});

        std::string output;
        EXPECT_EQ(loop.run(&output), 1);
        const std::string report = logged(
            "Ipkts 1, Ierrs 2, Irjct 3, Ibytes 4, Opkts 5, Oerrs 6, Orjct 7, "
            "Obytes 18446744073709551615");
        EXPECT_EQ(output, report + logged("unexpected signal 0") + logged("unexpected signal 3") +
                              logged("unexpected signal -7") + report);

        // One record per pass: the one behind the stop is still waiting.
        int left = 0;
        EXPECT_EQ(read(loop.signals[0], &left, sizeof left), (ssize_t)sizeof left);
        EXPECT_EQ(left, SIGUSR1);
        EXPECT_EQ(loop.ctx.Opkts, 5u) << "a report leaves the counters as they are";
    }
}

TEST(EventLoop, StopAskedForAtAFullPipeEndsTheLoopAfterOnePass)
{
    IdleLoop loop;
    const int flags = fcntl(loop.signals[1], F_GETFL);
    ASSERT_EQ(fcntl(loop.signals[1], F_SETFL, flags | O_NONBLOCK), 0);
    const int hangup = SIGHUP;
    while (write(loop.signals[1], &hangup, sizeof hangup) == sizeof hangup) {
    }
    StopRequested = 1;  // as the handler leaves it when the record did not fit

    std::string output;
    EXPECT_EQ(loop.run(&output), 1);
    EXPECT_EQ(output, "");
    int left = 0;
    EXPECT_EQ(read(loop.signals[0], &left, sizeof left), (ssize_t)sizeof left);
    EXPECT_EQ(left, SIGHUP) << "one record per pass, then the stop";
}

TEST(EventLoop, ShortSignalRecordEndsTheLoopWithFailure)
{
    IdleLoop loop;
    const short half = 1;
    ASSERT_EQ(write(loop.signals[1], &half, sizeof half), (ssize_t)sizeof half);
    close(loop.signals[1]);
    loop.signals[1] = -1;

    std::string output;
    EXPECT_EQ(loop.run(&output), -1);
    EXPECT_EQ(output, logged("read: short signal record (2 bytes)"));
}

TEST(EventLoop, RefusesDescriptorsThatDoNotFitASelectSet)
{
    IdleLoop loop;
    EXPECT_EQ(check_select_limit(loop.ctx), 0);

    loop.ctx.raw_fd = FD_SETSIZE;
    test::LogCopiedToStderr copied;
    test::CapturedStderr captured;
    EXPECT_EQ(check_select_limit(loop.ctx), -1);
    EXPECT_EQ(captured.text(),
              logged("descriptor 1024 is outside the range select can wait on (0 to 1023)"));

    loop.ctx.raw_fd = FD_SETSIZE - 1;
    EXPECT_EQ(check_select_limit(loop.ctx), 0);
}

}  // namespace
