// SPDX-License-Identifier: BSD-2-Clause
#include "mapping/prefix.h"

#include "daemon/tunnel_context.h"
#include "testing.h"

#include <arpa/inet.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>

namespace {

using test::text_of;
using test::v4;
using test::v6;

bool bit_of(const in6_addr& addr, int i)
{
    return (addr.s6_addr[i / 8] >> (7 - i % 8)) & 1;
}

bool bit_of(const in_addr& addr, int i)
{
    return (ntohl(addr.s_addr) >> (31 - i)) & 1;
}

in6_addr random_v6(std::mt19937& random)
{
    in6_addr addr;
    for (auto& byte : addr.s6_addr)
        byte = static_cast<uint8_t>(random());
    return addr;
}

// The first 64 bits of an address as one number, bit 0 the most significant.
uint64_t head_of(const in6_addr& addr)
{
    uint64_t head = 0;
    for (int i = 0; i < 8; ++i)
        head = head << 8 | addr.s6_addr[i];
    return head;
}

in_addr v4_word(uint32_t host_order)
{
    in_addr addr;
    addr.s_addr = htonl(host_order);
    return addr;
}

TEST(EmbedV4Suffix, BuildsDelegatedPrefixes)
{
    struct Case {
        const char* prefix;
        int prefix_len;
        const char* own;
        int common_len;
        const char* expected;
        int delegated_len;
    };
    const Case cases[] = {
        {"2001:db8::", 32, "192.0.2.1", 0, "2001:db8:c000:201::", 64},
        {"2001:db8::", 32, "192.0.2.1", 8, "2001:db8:2:100::", 56},
        {"2001:db8::", 32, "192.0.2.1", 24, "2001:db8:100::", 40},
        // the suffix starts 4 bits into a byte
        {"2001:db8:f000::", 36, "198.51.100.7", 8, "2001:db8:f336:4070::", 60},
        // the suffix crosses from word 0 into word 1
        {"3fff:100::", 24, "203.0.113.9", 0, "3fff:1cb:71:900::", 56},
        {"3fff::", 20, "203.0.113.9", 0, "3fff:cb0:710:9000::", 52},
        {"3fff:100::", 24, "203.0.113.9", 8, "3fff:100:7109::", 48},
        // offset equal to the common length: no second word
        {"3fff:100::", 24, "203.0.113.9", 24, "3fff:109::", 32},
        // bits from the delegated length on keep what the argument had
        {"2001:db8::1", 32, "192.0.2.1", 0, "2001:db8:c000:201::1", 64},
        {"2001:db8:ffff:ffff::", 32, "192.0.2.1", 8, "2001:db8:2:1ff::", 56},
        // bits of the argument between the 6rd prefix and the delegated
        // length are replaced
        {"2001:db8::", 24, "192.0.2.1", 0, "2001:dc0:2:100::", 56},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.prefix) + "/" + std::to_string(c.prefix_len) + " own " + c.own +
                     " common " + std::to_string(c.common_len));
        in6_addr prefix = v6(c.prefix);
        const in_addr own = v4(c.own);
        embed_v4_suffix(&prefix, c.prefix_len, &own, c.common_len);
        EXPECT_EQ(text_of(prefix), c.expected);
        EXPECT_EQ(text_of(own), c.own) << "own address changed";
        EXPECT_EQ(c.prefix_len + 32 - c.common_len, c.delegated_len);
    }
}

TEST(EmbedV4Suffix, DelegatedLengthFollowsTheCommonLength)
{
    struct Case {
        int prefix_len;
        int common_len;
        int delegated_len;
    };
    const Case cases[] = {
        {32, 0, 64}, {32, 8, 56}, {24, 0, 56}, {40, 8, 64}, {63, 31, 64}, {16, 0, 48},
    };
    for (const Case& c : cases) {
        TunnelContext ctx{};
        ctx.prefix_len = c.prefix_len;
        ctx.v4_common_len = c.common_len;
        EXPECT_EQ(delegated_prefix_len(ctx), c.delegated_len)
            << c.prefix_len << " with " << c.common_len << " common bits";
    }
}

TEST(ExtractV4Address, RebuildsSiteAddresses)
{
    struct Case {
        const char* addr;
        int prefix_len;
        const char* own;
        int common_len;
        const char* expected;
    };
    const Case cases[] = {
        {"2001:db8:cb00:7109::1", 32, "192.0.2.1", 0, "203.0.113.9"},
        {"2001:db8:2:4d00::1", 32, "192.0.2.1", 8, "192.0.2.77"},
        {"2001:db8:4d00::1", 32, "192.0.2.1", 24, "192.0.2.77"},
        // bits after the delegated length are ignored
        {"2001:db8:4d07:ff00::1", 32, "192.0.2.1", 24, "192.0.2.77"},
        {"2001:db8:f336:4070::1", 36, "198.51.100.99", 8, "198.51.100.7"},
        // the second word is read
        {"3fff:1cb:71:900::1", 24, "192.0.2.1", 0, "203.0.113.9"},
        {"3fff:cb0:710:9000::1", 20, "192.0.2.1", 0, "203.0.113.9"},
        // offset equal to the common length: the first word is enough
        {"3fff:109::1", 24, "203.0.113.200", 24, "203.0.113.9"},
        // the common bits come from the own address, not from the IPv6 address
        {"2001:db8:3364:700::1", 32, "192.0.2.1", 8, "192.51.100.7"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.addr) + "/" + std::to_string(c.prefix_len) + " own " + c.own +
                     " common " + std::to_string(c.common_len));
        const in6_addr addr = v6(c.addr);
        const in_addr own = v4(c.own);
        in_addr out = v4("1.2.3.4");
        extract_v4_address(&out, &own, c.common_len, &addr, c.prefix_len);
        EXPECT_EQ(text_of(out), c.expected);
    }
}

TEST(ExtractV4Address, WithoutCommonBitsIgnoresTheOwnAddress)
{
    std::mt19937 random(7);
    const uint32_t owns[] = {0x00000000u, 0xFFFFFFFFu, 0xAAAAAAAAu, 0x55555555u, 0xC0000201u};
    for (int prefix_len = 16; prefix_len <= 32; ++prefix_len) {
        for (int round = 0; round < 50; ++round) {
            const in6_addr addr = random_v6(random);
            in_addr first;
            const in_addr own0 = v4_word(owns[0]);
            extract_v4_address(&first, &own0, 0, &addr, prefix_len);
            for (const uint32_t own_word : owns) {
                const in_addr own = v4_word(own_word);
                in_addr out;
                extract_v4_address(&out, &own, 0, &addr, prefix_len);
                ASSERT_EQ(out.s_addr, first.s_addr)
                    << text_of(addr) << "/" << prefix_len << " own " << text_of(own);
            }
            // and all 32 bits are the ones after the 6rd prefix
            for (int i = 0; i < 32; ++i)
                ASSERT_EQ(bit_of(first, i), bit_of(addr, prefix_len + i))
                    << text_of(addr) << "/" << prefix_len << " bit " << i;
        }
    }
}

TEST(ExtractV4Address, ReadsOnlyTheEmbeddedBitsAndTheCommonBitsOfOwn)
{
    // Changing anything outside bits P to D - 1 of the IPv6 address, or
    // outside the first M bits of own, leaves the result alone.
    std::mt19937 random(11);
    for (int prefix_len = 16; prefix_len <= 63; ++prefix_len) {
        for (int common_len = 0; common_len <= 31; ++common_len) {
            const int delegated_len = prefix_len + 32 - common_len;
            if (delegated_len > 64)
                continue;
            for (int round = 0; round < 8; ++round) {
                in6_addr addr = random_v6(random);
                const in_addr own = v4_word(static_cast<uint32_t>(random()));
                in_addr expected;
                extract_v4_address(&expected, &own, common_len, &addr, prefix_len);
                for (int i = 0; i < common_len; ++i)
                    ASSERT_EQ(bit_of(expected, i), bit_of(own, i));
                for (int i = common_len; i < 32; ++i)
                    ASSERT_EQ(bit_of(expected, i), bit_of(addr, prefix_len + i - common_len));

                in6_addr noisy = random_v6(random);
                for (int i = prefix_len; i < delegated_len; ++i) {
                    const uint8_t bit = static_cast<uint8_t>(0x80 >> (i % 8));
                    noisy.s6_addr[i / 8] = static_cast<uint8_t>(
                        (noisy.s6_addr[i / 8] & ~bit) | (addr.s6_addr[i / 8] & bit));
                }
                const uint32_t common_mask =
                    common_len == 0 ? 0 : ~(0xFFFFFFFFu >> common_len);
                const uint32_t noise = static_cast<uint32_t>(random());
                const in_addr noisy_own =
                    v4_word((ntohl(own.s_addr) & common_mask) | (noise & ~common_mask));
                in_addr out;
                extract_v4_address(&out, &noisy_own, common_len, &noisy, prefix_len);
                ASSERT_EQ(out.s_addr, expected.s_addr)
                    << text_of(addr) << " vs " << text_of(noisy) << " P " << prefix_len << " M "
                    << common_len;
            }
        }
    }
}

TEST(PrefixRoundTrip, ExtractAfterEmbedGivesBackTheOwnAddress)
{
    std::mt19937_64 random(2024);
    std::vector<uint32_t> owns = {0x00000000u, 0xFFFFFFFFu, 0xAAAAAAAAu, 0x55555555u,
                                  0x80000000u, 0x00000001u, 0x7FFFFFFEu, 0xC0000201u};
    while (owns.size() < 3000)
        owns.push_back(static_cast<uint32_t>(random()));

    int combinations = 0;
    for (int prefix_len = 16; prefix_len <= 63; ++prefix_len) {
        for (int common_len = 0; common_len <= 31; ++common_len) {
            const int delegated_len = prefix_len + 32 - common_len;
            if (delegated_len > 64)
                continue;
            ++combinations;
            for (const uint32_t own_word : owns) {
                const in_addr own = v4_word(own_word);
                // Random bits everywhere, so that bits kept and bits
                // replaced can be told apart.
                in6_addr before;
                const uint64_t halves[2] = {random(), random()};
                std::memcpy(&before, halves, sizeof before);
                in6_addr prefix = before;
                embed_v4_suffix(&prefix, prefix_len, &own, common_len);

                in_addr back;
                extract_v4_address(&back, &own, common_len, &prefix, prefix_len);
                if (back.s_addr != own.s_addr) {
                    ADD_FAILURE() << "P " << prefix_len << " M " << common_len << " own "
                                  << text_of(own) << " came back as " << text_of(back);
                    return;
                }
                if (std::memcmp(prefix.s6_addr + 8, before.s6_addr + 8, 8) != 0) {
                    ADD_FAILURE() << "P " << prefix_len << " M " << common_len
                                  << " changed bytes 8 to 15: " << text_of(before) << " -> "
                                  << text_of(prefix);
                    return;
                }
                // Bits P to D - 1 hold bits M to 31 of own; every other bit
                // of the first 64 is as before.
                const uint64_t after = delegated_len == 64 ? 0 : ~0ull >> delegated_len;
                const uint64_t field = (~0ull >> prefix_len) & ~after;
                const uint64_t suffix = (uint64_t{own_word << common_len} << 32) >> prefix_len;
                const uint64_t expected = (head_of(before) & ~field) | suffix;
                if (head_of(prefix) != expected) {
                    ADD_FAILURE() << "P " << prefix_len << " M " << common_len << " own "
                                  << text_of(own) << ": " << text_of(before) << " -> "
                                  << text_of(prefix);
                    return;
                }
            }
        }
    }
    // 17 prefix lengths up to 32 with every common length, then 31 + 30 + ... + 1.
    EXPECT_EQ(combinations, 17 * 32 + 496);
}

TEST(PrefixDiffers, ComparesLeadingBits)
{
    struct Case {
        const char* a;
        const char* b;
        int n;
        bool differs;
    };
    const Case cases[] = {
        {"2001:db8:c000:201::", "2001:db8:c000:201::1", 64, false},
        {"2001:db8:c000:201::", "2001:db8:c000:203::1", 64, true},
        // the two first differ at bit 62
        {"2001:db8:c000:201::", "2001:db8:c000:203::1", 62, false},
        {"2001:db8:c000:201::", "2001:db8:c000:203::1", 63, true},
        {"2001:db8:f000::", "2001:db8:f336::", 36, false},
        {"2001:db8:f000::", "2001:db8:f336::", 38, false},
        {"2001:db8:f000::", "2001:db8:f336::", 40, true},
        {"2001:db8::", "2001:db9::", 31, false},
        {"2001:db8::", "2001:db9::", 32, true},
        {"::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 0, false},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "::", 0, false},
        {"::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 1, true},
        {"::", "::1", 127, false},
        {"::", "::1", 128, true},
    };
    for (const Case& c : cases) {
        const in6_addr a = v6(c.a);
        const in6_addr b = v6(c.b);
        const int result = prefix_differs(&a, &b, c.n);
        EXPECT_EQ(result != 0, c.differs) << c.a << " vs " << c.b << " over " << c.n << " bits";
        EXPECT_EQ(prefix_differs(&b, &a, c.n) != 0, c.differs)
            << c.b << " vs " << c.a << " over " << c.n << " bits";
    }
}

TEST(PrefixDiffers, AgreesWithABitByBitComparisonForEveryLength)
{
    std::mt19937 random(5);
    for (int round = 0; round < 400; ++round) {
        const in6_addr a = random_v6(random);
        in6_addr b = a;
        // Flip one bit, sometimes a second one.
        const int first = static_cast<int>(random() % 128);
        b.s6_addr[first / 8] ^= static_cast<uint8_t>(0x80 >> (first % 8));
        if (round % 2 == 0) {
            const int second = static_cast<int>(random() % 128);
            b.s6_addr[second / 8] ^= static_cast<uint8_t>(0x80 >> (second % 8));
        }
        int first_difference = 128;
        for (int i = 0; i < 128; ++i) {
            if (bit_of(a, i) != bit_of(b, i)) {
                first_difference = i;
                break;
            }
        }
        for (int n = 0; n <= 128; ++n) {
            const bool differs = n > first_difference;
            ASSERT_EQ(prefix_differs(&a, &b, n) != 0, differs)
                << text_of(a) << " vs " << text_of(b) << " over " << n << " bits";
        }
    }
}

TEST(PrefixDiffers, PartialByteResultIsTheDifferingBitsUnderTheMask)
{
    // Within a partial byte the result is the XOR of the bytes under the mask
    // of the first n bits, a value from 1 to 254.
    const in6_addr a = v6("2001:db8:f000::");
    in6_addr b = a;
    b.s6_addr[4] = 0x0F;  // 0xf0 vs 0x0f: every bit differs
    const int expected[] = {0x80, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC, 0xFE};
    for (int bits = 1; bits <= 7; ++bits)
        EXPECT_EQ(prefix_differs(&a, &b, 32 + bits), expected[bits - 1]) << 32 + bits;
}

TEST(PrefixDiffers, IgnoresEverythingAfterTheComparedBits)
{
    std::mt19937 random(3);
    for (int n = 0; n <= 128; ++n) {
        for (int round = 0; round < 20; ++round) {
            const in6_addr a = random_v6(random);
            in6_addr b = a;
            // Every bit from n on differs.
            for (int i = n; i < 128; ++i)
                b.s6_addr[i / 8] ^= static_cast<uint8_t>(0x80 >> (i % 8));
            ASSERT_EQ(prefix_differs(&a, &b, n), 0) << text_of(a) << " vs " << text_of(b)
                                                    << " over " << n << " bits";
        }
    }
}

// Two pages: the first readable, the second not. An address placed so that
// its readable part ends where the second page starts can be read that far
// and no further.
class GuardedPages {
public:
    GuardedPages()
    {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* area = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                          -1, 0);
        if (area == MAP_FAILED) {
            ADD_FAILURE() << "mmap failed";
            return;
        }
        base_ = static_cast<uint8_t*>(area);
        std::memset(base_, 0x5A, page_);
        if (mprotect(base_ + page_, page_, PROT_NONE) != 0)
            ADD_FAILURE() << "mprotect failed";
    }
    GuardedPages(const GuardedPages&) = delete;
    GuardedPages& operator=(const GuardedPages&) = delete;
    ~GuardedPages()
    {
        if (base_ != nullptr)
            munmap(base_, 2 * page_);
    }

    bool ready() const { return base_ != nullptr; }

    // An address whose first readable_bytes bytes are readable and whose
    // rest lies in the guard page. readable_bytes must keep it aligned as an
    // in6_addr: a multiple of 4.
    in6_addr* ending_at_guard(size_t readable_bytes)
    {
        return reinterpret_cast<in6_addr*>(base_ + page_ - readable_bytes);
    }

private:
    size_t page_ = 0;
    uint8_t* base_ = nullptr;
};

TEST(PrefixDiffers, ReadsNoByteBeyondTheComparedBits)
{
    GuardedPages a_pages;
    GuardedPages b_pages;
    ASSERT_TRUE(a_pages.ready() && b_pages.ready());

    // n = 0 reads nothing at all: both addresses may lie wholly in the guard.
    {
        in6_addr* a = a_pages.ending_at_guard(0);
        in6_addr* b = b_pages.ending_at_guard(0);
        EXPECT_EQ(prefix_differs(a, b, 0), 0);
    }

    // ceil(n / 8) readable bytes, the guard right after them. A read of the
    // byte after n / 8 whole bytes, or of one more byte after a partial one,
    // would fault.
    struct Case {
        size_t readable;
        int n;
    };
    const Case cases[] = {{4, 32}, {4, 25}, {4, 31}, {8, 64}, {8, 57}, {8, 63},
                          {12, 96}, {12, 89}, {16, 128}, {16, 121}};
    for (const Case& c : cases) {
        in6_addr* a = a_pages.ending_at_guard(c.readable);
        in6_addr* b = b_pages.ending_at_guard(c.readable);
        uint8_t* pa = reinterpret_cast<uint8_t*>(a);
        uint8_t* pb = reinterpret_cast<uint8_t*>(b);
        for (size_t i = 0; i < c.readable; ++i)
            pa[i] = pb[i] = static_cast<uint8_t>(0x20 + i);
        EXPECT_EQ(prefix_differs(a, b, c.n), 0) << c.n << " bits, equal";

        // A difference in the last compared bit is still seen.
        const int last = c.n - 1;
        pb[last / 8] ^= static_cast<uint8_t>(0x80 >> (last % 8));
        EXPECT_NE(prefix_differs(a, b, c.n), 0) << c.n << " bits, last bit differs";
        pb[last / 8] ^= static_cast<uint8_t>(0x80 >> (last % 8));

        // The first whole byte that differs ends the comparison, so a longer
        // n does not read on either.
        pb[0] ^= 0xFF;
        EXPECT_NE(prefix_differs(a, b, 128), 0) << "first byte differs, 128 bits";
        pb[0] ^= 0xFF;
    }
}

TEST(PrefixOperations, TouchNoByteAfterByteSeven)
{
    // Bytes 8 to 15 of the address lie in the guard page: any access to
    // them faults.
    GuardedPages pages;
    ASSERT_TRUE(pages.ready());
    in6_addr* addr = pages.ending_at_guard(8);
    uint8_t* bytes = reinterpret_cast<uint8_t*>(addr);
    std::mt19937 random(17);
    for (int prefix_len = 16; prefix_len <= 63; ++prefix_len) {
        for (int common_len = 0; common_len <= 31; ++common_len) {
            if (prefix_len + 32 - common_len > 64)
                continue;
            for (int i = 0; i < 8; ++i)
                bytes[i] = static_cast<uint8_t>(random());
            const in_addr own = v4_word(static_cast<uint32_t>(random()));
            embed_v4_suffix(addr, prefix_len, &own, common_len);
            in_addr back;
            extract_v4_address(&back, &own, common_len, addr, prefix_len);
            ASSERT_EQ(back.s_addr, own.s_addr) << "P " << prefix_len << " M " << common_len;
            ASSERT_EQ(prefix_differs(addr, addr, prefix_len + 32 - common_len), 0);
        }
    }
}

}  // namespace
