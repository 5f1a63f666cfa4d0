// SPDX-License-Identifier: BSD-2-Clause
// What status tells of the lease: the client's values are taken only when
// they are what such a value can be, and the record reads back as written.
#include "edge/lease_record.h"

#include <gtest/gtest.h>

namespace {

TEST(LeaseRecord, TakesTheClientsValuesOnlyWhenTheyAreValues)
{
    struct Case {
        const char* lease;
        const char* renew;
        const char* reason;
        long long lease_seconds, renew_seconds;
        const char* why;
    };
    const Case cases[] = {
        {"3600", "1800", "RENEW", 3600, 1800, "RENEW"},
        {nullptr, nullptr, nullptr, 0, 0, ""},                // udhcpc's deconfig: nothing said
        {"", "-5", "release", 0, 0, ""},                      // empty, a sign, lower case
        {"12345678901", "18 00", "EXPIRE\n", 0, 0, ""},       // too long, a blank, a newline
        {"86400", "0x10", "NO CARRIER", 86400, 0, ""},
        {"120", "60", "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", 120, 60, ""},  // longer than a reason
    };
    for (const Case& c : cases) {
        lease_record r{};
        lease_values(c.lease, c.renew, c.reason, &r);
        EXPECT_EQ(r.lease_seconds, c.lease_seconds) << (c.lease ? c.lease : "null");
        EXPECT_EQ(r.renew_seconds, c.renew_seconds) << (c.renew ? c.renew : "null");
        EXPECT_STREQ(r.why, c.why) << (c.reason ? c.reason : "null");
    }
}

TEST(LeaseRecord, ReadsBackAsWrittenAndRefusesWhatItDidNotWrite)
{
    lease_record r{};
    lease_values("7200", nullptr, "RELEASE", &r);
    std::snprintf(r.uplink, sizeof r.uplink, "eth0");
    r.renewed = 1800000000;
    r.ended = 1800003600;
    char text[lease_text_size];
    format_lease_record(r, text, sizeof text);
    lease_record back{};
    ASSERT_EQ(parse_lease_record(text, &back), 0) << text;
    EXPECT_STREQ(back.uplink, "eth0");
    EXPECT_EQ(back.renewed, 1800000000);
    EXPECT_EQ(back.lease_seconds, 7200);
    EXPECT_EQ(back.renew_seconds, 0);
    EXPECT_EQ(back.ended, 1800003600);
    EXPECT_STREQ(back.why, "RELEASE");

    EXPECT_EQ(parse_lease_record("", &back), -1);
    EXPECT_EQ(parse_lease_record("uplink eth/0\nrenewed 1\nlease 0\nrenew 0\nended 0 -\n", &back), -1);
    EXPECT_EQ(parse_lease_record("uplink eth0\nrenewed x\n", &back), -1);
    // A reason that is no reason is dropped, not shown.
    ASSERT_EQ(parse_lease_record("uplink eth0\nrenewed 1\nlease 0\nrenew 0\nended 2 $(x)\n", &back), 0);
    EXPECT_STREQ(back.why, "");
}

}  // namespace
