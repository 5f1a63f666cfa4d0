// SPDX-License-Identifier: BSD-2-Clause
#include "link/tun_device.h"

#include "testing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using test::CapturedStderr;
using test::DebugLevelScope;
using test::hex_of;

struct HeaderCase {
    std::vector<uint8_t> frame;
    ssize_t expected;
    std::string trace;  // at debug level 1
};

std::vector<HeaderCase> header_cases()
{
    return {
        {{}, -1, "tun: no address family\n"},
        {{0x00}, -1, "tun: no address family\n"},
        {{0x00, 0x00}, -1, "tun: no address family\n"},
        {{0x00, 0x00, 0x00}, -1, "tun: no address family\n"},
        // exactly the header: the caller finds an empty packet
        {{0x00, 0x00, 0x00, 0x1C}, 4, ""},
        {{0x00, 0x00, 0x00, 0x1C, 0x60, 0x00, 0x00, 0x00}, 4, ""},
        // an IPv4 frame
        {{0x00, 0x00, 0x00, 0x02, 0x45, 0x00}, -1, "tun: non-IPv6 packet (2)\n"},
        // the right value in the wrong byte order
        {{0x1C, 0x00, 0x00, 0x00, 0x60}, -1, "tun: non-IPv6 packet (469762048)\n"},
        // Linux's packet information left untranslated
        {{0x00, 0x00, 0x86, 0xDD, 0x60}, -1, "tun: non-IPv6 packet (34525)\n"},
        // Linux's own AF_INET6 is not the frame's code
        {{0x00, 0x00, 0x00, 0x0A, 0x60}, -1, "tun: non-IPv6 packet (10)\n"},
        {{0x00, 0x00, 0x01, 0x1C, 0x60}, -1, "tun: non-IPv6 packet (284)\n"},
        {{0xFF, 0xFF, 0xFF, 0xFF}, -1, "tun: non-IPv6 packet (4294967295)\n"},
    };
}

TEST(CheckTunHeader, AcceptsOnlyTheIPv6FamilyAndTracesWhy)
{
    for (int level : {1, 2}) {
        DebugLevelScope scope(level);
        for (const HeaderCase& c : header_cases()) {
            // The frame sits at the end of a larger buffer, as in a read.
            std::vector<uint8_t> buffer(8 + c.frame.size(), 0xEE);
            for (size_t i = 0; i < c.frame.size(); ++i)
                buffer[8 + i] = c.frame[i];
            const std::vector<uint8_t> before = buffer;
            CapturedStderr captured;
            const ssize_t result = check_tun_header(buffer.data() + 8, c.frame.size());
            EXPECT_EQ(captured.text(), c.trace) << hex_of(c.frame) << "at level " << level;
            EXPECT_EQ(result, c.expected) << hex_of(c.frame);
            EXPECT_EQ(buffer, before) << "the frame was changed";
        }
    }
}

TEST(CheckTunHeader, SameResultsWithoutOutputAtLevelZero)
{
    DebugLevelScope scope(0);
    for (const HeaderCase& c : header_cases()) {
        std::vector<uint8_t> frame = c.frame;
        CapturedStderr captured;
        const ssize_t result = check_tun_header(frame.data(), frame.size());
        EXPECT_EQ(captured.text(), "") << hex_of(c.frame);
        EXPECT_EQ(result, c.expected) << hex_of(c.frame);
    }
}

TEST(CheckTunHeader, LooksOnlyAtTheFirstFourBytes)
{
    DebugLevelScope scope(1);
    // Whatever follows the header, and however long the frame, the answer
    // rests on the first four bytes.
    for (uint8_t fill : {0x00, 0x1C, 0xFF}) {
        std::vector<uint8_t> frame(2040, fill);
        frame[0] = 0x00;
        frame[1] = 0x00;
        frame[2] = 0x00;
        frame[3] = 0x1C;
        CapturedStderr captured;
        EXPECT_EQ(check_tun_header(frame.data(), frame.size()), 4) << int(fill);
        EXPECT_EQ(captured.text(), "");
    }
}

struct PrependCase {
    size_t room;
    ssize_t expected;
    std::string trace;  // at debug level 1
};

const PrependCase prepend_cases[] = {
    {0, -1, "tun: no space for address family\n"},
    {1, -1, "tun: no space for address family\n"},
    {3, -1, "tun: no space for address family\n"},
    {4, 4, ""},
    {5, 4, ""},
    {20, 4, ""},
    {60, 4, ""},
};

// 80 bytes of a counting pattern; a packet is taken to start at offset room.
std::vector<uint8_t> patterned_buffer()
{
    std::vector<uint8_t> buffer(80);
    for (size_t i = 0; i < buffer.size(); ++i)
        buffer[i] = static_cast<uint8_t>(0xA0 + i);
    return buffer;
}

void check_prepend(const PrependCase& c, int level, const std::string& expected_trace)
{
    SCOPED_TRACE("room " + std::to_string(c.room) + " at level " + std::to_string(level));
    DebugLevelScope scope(level);
    std::vector<uint8_t> buffer = patterned_buffer();
    const std::vector<uint8_t> before = buffer;

    CapturedStderr captured;
    const ssize_t result = prepend_tun_header(buffer.data() + c.room, c.room);
    EXPECT_EQ(captured.text(), expected_trace);
    EXPECT_EQ(result, c.expected);

    std::vector<uint8_t> expected = before;
    if (c.expected == 4) {
        // Exactly the 4 bytes in front of the packet: 00 00 00 1c.
        expected[c.room - 4] = 0x00;
        expected[c.room - 3] = 0x00;
        expected[c.room - 2] = 0x00;
        expected[c.room - 1] = 0x1C;
    }
    EXPECT_EQ(hex_of(buffer), hex_of(expected));
}

TEST(PrependTunHeader, WritesTheFourBytesInFrontOfThePacketWhenThereIsRoom)
{
    for (const PrependCase& c : prepend_cases)
        check_prepend(c, 1, c.trace);
}

TEST(PrependTunHeader, SameResultsWithoutOutputAtLevelZero)
{
    for (const PrependCase& c : prepend_cases)
        check_prepend(c, 0, "");
}

}  // namespace
