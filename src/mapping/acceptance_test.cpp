// SPDX-License-Identifier: BSD-2-Clause
#include "mapping/acceptance.h"

#include "testing.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

using test::v4;
using test::v6;

constexpr int reject = 1;
constexpr int accept = 0;

TEST(RejectV4Address, RefusesReservedRangesOnly)
{
    struct Case {
        const char* addr;
        int expected;
    };
    const Case cases[] = {
        // this network
        {"0.0.0.0", reject},
        {"0.1.2.3", reject},
        {"0.255.255.255", reject},
        {"1.0.0.0", accept},
        // loopback
        {"126.255.255.255", accept},
        {"127.0.0.0", reject},
        {"127.0.0.1", reject},
        {"127.255.255.255", reject},
        {"128.0.0.0", accept},
        // multicast
        {"223.255.255.255", accept},
        {"224.0.0.0", reject},
        {"224.0.0.1", reject},
        {"239.255.255.255", reject},
        // the rest of 240/4 is accepted, only the limited broadcast is not
        {"240.0.0.0", accept},
        {"240.0.0.1", accept},
        {"255.255.255.254", accept},
        {"255.255.255.255", reject},
        // 10/8
        {"9.255.255.255", accept},
        {"10.0.0.0", reject},
        {"10.1.1.1", reject},
        {"10.255.255.255", reject},
        {"11.0.0.0", accept},
        // 172.16/12
        {"172.15.255.255", accept},
        {"172.16.0.0", reject},
        {"172.16.0.1", reject},
        {"172.31.255.255", reject},
        {"172.32.0.0", accept},
        // 169.254/16
        {"169.253.255.255", accept},
        {"169.254.0.0", reject},
        {"169.254.1.1", reject},
        {"169.254.255.255", reject},
        {"169.255.0.0", accept},
        // 192.168/16
        {"192.167.255.255", accept},
        {"192.168.0.0", reject},
        {"192.168.1.1", reject},
        {"192.168.255.255", reject},
        {"192.169.0.0", accept},
        // shared address space and ordinary unicast
        {"100.64.0.1", accept},
        {"192.0.2.1", accept},
        {"198.51.100.7", accept},
        {"203.0.113.9", accept},
        {"8.8.8.8", accept},
    };
    for (const Case& c : cases) {
        const in_addr addr = v4(c.addr);
        EXPECT_EQ(reject_v4_address(&addr), c.expected) << c.addr;
    }
}

TEST(RejectV6Address, DecidesOnTheFirstTwoBytes)
{
    struct Case {
        const char* addr;
        int expected;
    };
    const Case cases[] = {
        // ::/8
        {"::", reject},
        {"::1", reject},
        {"::ffff:192.0.2.1", reject},
        {"::192.0.2.1", reject},
        {"ff::1", reject},
        {"100::1", accept},
        // ordinary unicast and unique local
        {"2001:db8::1", accept},
        {"3fff::1", accept},
        {"fc00::1", accept},
        {"fd00::1", accept},
        // fe00::/9 passes, fe80::/9 (link-local and site-local) does not
        {"fe00::1", accept},
        {"fe7f::1", accept},
        {"fe80::", reject},
        {"fe80::1", reject},
        {"febf::1", reject},
        {"fec0::1", reject},
        {"feff::1", reject},
        {"fdff:ffff::1", accept},
        // multicast: global scope only
        {"ff02::1", reject},
        {"ff05::2", reject},
        {"ff0f::1", reject},
        {"ffff::1", reject},
        {"ff00::1", reject},
        {"ff0e::1", accept},
        {"ff1e::1", accept},
        {"ff3e::1", accept},
        {"fffe::1", accept},
    };
    for (const Case& c : cases) {
        const in6_addr addr = v6(c.addr);
        EXPECT_EQ(reject_v6_address(&addr), c.expected) << c.addr;
    }
}

TEST(RejectV6Address, GlobalMulticastPassesWithEveryFlagNibble)
{
    for (unsigned flags = 0; flags < 16; ++flags) {
        for (unsigned scope = 0; scope < 16; ++scope) {
            in6_addr addr = v6("ff00::1");
            addr.s6_addr[1] = static_cast<uint8_t>(flags << 4 | scope);
            char text[16];
            std::snprintf(text, sizeof text, "ff%x%x::1", flags, scope);
            EXPECT_EQ(reject_v6_address(&addr), scope == 0xE ? accept : reject) << text;
        }
    }
}

TEST(RejectV6Address, ReadsOnlyTheFirstTwoBytes)
{
    // Whatever follows the first two bytes, the answer stays the same.
    struct Case {
        const char* head;
        int expected;
    };
    const Case cases[] = {{"::", reject},     {"fe80::", reject}, {"fe7f::", accept},
                          {"ff0e::", accept}, {"ff02::", reject}, {"2001:db8::", accept}};
    for (const Case& c : cases) {
        in6_addr addr = v6(c.head);
        for (int fill : {0x00, 0xFF, 0x5A, 0x01}) {
            for (int i = 2; i < 16; ++i)
                addr.s6_addr[i] = static_cast<uint8_t>(fill);
            EXPECT_EQ(reject_v6_address(&addr), c.expected) << c.head << " filled with " << fill;
        }
    }
}

}  // namespace
