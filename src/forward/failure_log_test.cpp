// SPDX-License-Identifier: BSD-2-Clause
#include "forward/failure_log.h"

#include "testing.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

// Feeds failures at the given times (ms) to one budget; the held counts of
// the failures that were logged, -1 for each that was not.
std::vector<long> admitted(const std::vector<int64_t>& times)
{
    failure_limit limit{};
    std::vector<long> seen;
    for (const int64_t now : times) {
        uint64_t held = 99;
        seen.push_back(failure_admitted(limit, now, &held) ? static_cast<long>(held) : -1);
    }
    return seen;
}

TEST(FailureLimit, ABurstThenOneASecondAndTheHeldCountInTheNextLine)
{
    // Five at once, then nothing until a second has been earned; the line
    // that then gets through names the three held back.
    EXPECT_EQ(admitted({0, 0, 0, 0, 0, 0, 500, 999, 1000, 1500, 2000}),
              (std::vector<long>{0, 0, 0, 0, 0, -1, -1, -1, 3, -1, 1}));
    // A long quiet spell earns a new burst, never more than one.
    EXPECT_EQ(admitted({0, 0, 0, 0, 0, 60000, 60000, 60000, 60000, 60000, 60000}),
              (std::vector<long>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1}));
    // Steady failures, one every 10 ms: about one line a second.
    std::vector<int64_t> steady;
    for (int64_t t = 0; t < 10000; t += 10)
        steady.push_back(t);
    std::vector<long> lines = admitted(steady);
    long logged = 0;
    long held = 0;
    for (long l : lines) {
        if (l >= 0) {
            ++logged;
            held += l;
        }
    }
    EXPECT_EQ(logged, 5 + 9);
    EXPECT_EQ(lines.size() - logged - held, 99u) << "only the last second's are still held";
    // A clock that goes back earns nothing and breaks nothing.
    EXPECT_EQ(admitted({5000, 5000, 5000, 5000, 5000, 1000, 5999, 6000}),
              (std::vector<long>{0, 0, 0, 0, 0, -1, -1, 2}));
}

TEST(FailureLog, EachKindKeepsItsOwnBudgetAndTheReportNamesWhatWasHeld)
{
    reset_failure_log();
    test::LogCopiedToStderr copied;
    test::CapturedStderr captured;
    for (int i = 0; i < 8; ++i) {
        errno = ENETUNREACH;
        log_packet_failure(FAILED_RAW_SEND);
    }
    errno = EIO;
    log_packet_failure(FAILED_TUN_WRITE);
    log_held_failures();
    log_held_failures();  // nothing held any more

    std::string expected;
    for (int i = 0; i < failure_burst; ++i)
        expected += test::logged("sendto: raw: Network is unreachable");
    expected += test::logged("write: tun: Input/output error");
    expected += test::logged("sendto: raw: Network is unreachable (2 more since the last message)");
    EXPECT_EQ(captured.text(), expected);
    reset_failure_log();
}

}  // namespace
