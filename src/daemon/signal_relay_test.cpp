// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/signal_relay.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <vector>

namespace {

// The relay is installed once per process, as the daemon does.
void ensure_relay()
{
    static const int installed = install_signal_relay();
    ASSERT_EQ(installed, 0);
}

// The records waiting in the pipe, read without blocking.
std::vector<int> drain_records()
{
    const int flags = fcntl(SignalPipe[0], F_GETFL);
    fcntl(SignalPipe[0], F_SETFL, flags | O_NONBLOCK);
    std::vector<int> records;
    int record;
    while (read(SignalPipe[0], &record, sizeof record) == sizeof record)
        records.push_back(record);
    fcntl(SignalPipe[0], F_SETFL, flags);
    return records;
}

TEST(SignalRelay, ReadEndBlocksAndWriteEndDoesNot)
{
    ensure_relay();
    EXPECT_EQ(fcntl(SignalPipe[0], F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(SignalPipe[1], F_GETFL) & O_NONBLOCK, 0);
}

TEST(SignalRelay, CaughtSignalsBecomeRecordsInOrder)
{
    ensure_relay();
    drain_records();
    StopRequested = 0;
    raise(SIGUSR1);
    raise(SIGHUP);
    EXPECT_EQ(StopRequested, 0) << "only SIGINT and SIGTERM ask for a stop";
    raise(SIGINT);
    EXPECT_EQ(StopRequested, 1);
    StopRequested = 0;
    raise(SIGTERM);
    EXPECT_EQ(StopRequested, 1);
    StopRequested = 0;
    EXPECT_EQ(drain_records(), (std::vector<int>{SIGUSR1, SIGHUP, SIGINT, SIGTERM}));
    EXPECT_EQ(ReportSignal, SIGUSR1);
}

TEST(SignalRelay, BrokenPipeSignalIsIgnored)
{
    ensure_relay();
    drain_records();
    raise(SIGPIPE);  // would end the test process if it were not ignored
    EXPECT_TRUE(drain_records().empty());
}

// A handler that changed errno could corrupt the error text of the call it
// interrupted; both a record written and one dropped at a full pipe leave it.
// A stop whose record is dropped is still asked for.
TEST(SignalRelay, HandlerKeepsErrnoWhetherTheRecordFitsOrNot)
{
    ensure_relay();
    drain_records();

    errno = ENOTCONN;
    relay_signal(SIGHUP);
    EXPECT_EQ(errno, ENOTCONN);

    const int filler = 0;
    while (write(SignalPipe[1], &filler, sizeof filler) == sizeof filler) {
    }
    errno = ETIMEDOUT;
    StopRequested = 0;
    relay_signal(SIGTERM);  // the pipe is full: dropped at once, without waiting
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(StopRequested, 1);
    StopRequested = 0;

    const std::vector<int> records = drain_records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.front(), SIGHUP);
    EXPECT_EQ(records.back(), filler) << "the record of a full pipe must be dropped";
}

}  // namespace
