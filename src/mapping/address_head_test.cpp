// SPDX-License-Identifier: BSD-2-Clause
#include "mapping/address_head.h"

#include "mapping/prefix.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

namespace {

in6_addr random_v6(std::mt19937& random)
{
    in6_addr addr;
    for (auto& byte : addr.s6_addr)
        byte = static_cast<uint8_t>(random());
    return addr;
}

// Pairs of addresses that agree on a random number of leading bits, so every
// length sees both answers.
TEST(AddressHead, HeadsDifferAnswersAsPrefixDiffersForEveryLength)
{
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        in6_addr a = random_v6(random);
        in6_addr b = a;
        const int flip = static_cast<int>(random() % 72);
        if (flip < 64)
            b.s6_addr[flip / 8] ^= static_cast<uint8_t>(0x80 >> (flip % 8));
        for (int n = 1; n <= 64; ++n)
            ASSERT_EQ(heads_differ(address_head(&a), address_head(&b), n),
                      prefix_differs(&a, &b, n) != 0)
                << "flip " << flip << " n " << n;
    }
}

TEST(AddressHead, HeadV4AddressAnswersAsExtractForEveryDomainShape)
{
    std::mt19937 random(11);
    for (int prefix_len = 16; prefix_len <= 63; ++prefix_len) {
        for (int common_len = 0; common_len <= 31; ++common_len) {
            if (prefix_len + 32 - common_len > 64)
                continue;
            for (int round = 0; round < 20; ++round) {
                const in6_addr addr = random_v6(random);
                in_addr own;
                own.s_addr = static_cast<uint32_t>(random());
                in_addr expected;
                extract_v4_address(&expected, &own, common_len, &addr, prefix_len);
                const in_addr got =
                    head_v4_address(address_head(&addr), prefix_len, common_len, own);
                ASSERT_EQ(got.s_addr, expected.s_addr)
                    << "P " << prefix_len << " M " << common_len;
            }
        }
    }
}

}  // namespace
