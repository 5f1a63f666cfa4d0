// SPDX-License-Identifier: BSD-2-Clause
#include "link/tun_device.h"

#include "testing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using test::hex_of;

struct TranslationCase {
    std::vector<uint8_t> header;  // the first bytes of the frame
    size_t n;                     // the frame length handed over
    std::vector<uint8_t> expected;
};

// A frame of n bytes sits 8 bytes into a patterned buffer and goes through
// one call of tun_read or tun_write, with a socket pair standing in for the
// device. Only the expected header bytes may change: nothing in front of the
// frame, nothing after its first 4 bytes; a read delivers the frame whole,
// a write sends it as translated.
enum class direction { read, write };

void check_translation(const TranslationCase& c, direction way)
{
    SCOPED_TRACE(hex_of(c.header) + "n " + std::to_string(c.n));
    std::vector<uint8_t> buffer(64);
    for (size_t i = 0; i < buffer.size(); ++i)
        buffer[i] = static_cast<uint8_t>(0x60 + i);
    for (size_t i = 0; i < c.header.size(); ++i)
        buffer[8 + i] = c.header[i];

    std::vector<uint8_t> expected = buffer;
    for (size_t i = 0; i < c.expected.size(); ++i)
        expected[8 + i] = c.expected[i];

    test::PacketPipe device;
    uint8_t* frame = buffer.data() + 8;
    if (way == direction::read) {
        device.put(std::vector<uint8_t>(frame, frame + c.n));
        EXPECT_EQ(tun_read(device.inner(), frame, buffer.size() - 8), static_cast<ssize_t>(c.n));
    } else {
        EXPECT_EQ(tun_write(device.inner(), frame, c.n), static_cast<ssize_t>(c.n));
        EXPECT_EQ(hex_of(device.take()), hex_of(std::vector<uint8_t>(frame, frame + c.n)));
    }
    EXPECT_EQ(hex_of(buffer), hex_of(expected));
}

TEST(TunRead, TranslatesIPv6AndIPv4EtherTypesOnly)
{
    const TranslationCase cases[] = {
        // IPv6, whatever the flags
        {{0x00, 0x00, 0x86, 0xDD}, 44, {0x00, 0x00, 0x00, 0x1C}},
        {{0x00, 0x01, 0x86, 0xDD}, 44, {0x00, 0x00, 0x00, 0x1C}},
        {{0xFF, 0xFF, 0x86, 0xDD}, 44, {0x00, 0x00, 0x00, 0x1C}},
        {{0x00, 0x00, 0x86, 0xDD}, 4, {0x00, 0x00, 0x00, 0x1C}},
        // IPv4: the path then traces it as a non-IPv6 packet (2)
        {{0x00, 0x00, 0x08, 0x00}, 24, {0x00, 0x00, 0x00, 0x02}},
        {{0x12, 0x34, 0x08, 0x00}, 24, {0x00, 0x00, 0x00, 0x02}},
        // anything else stays as read
        {{0x00, 0x00, 0x08, 0x06}, 24, {0x00, 0x00, 0x08, 0x06}},
        {{0x00, 0x00, 0xDD, 0x86}, 24, {0x00, 0x00, 0xDD, 0x86}},
        {{0x00, 0x00, 0x00, 0x1C}, 24, {0x00, 0x00, 0x00, 0x1C}},
        {{0x00, 0x00, 0x86, 0xDE}, 24, {0x00, 0x00, 0x86, 0xDE}},
        {{0x00, 0x00, 0x87, 0xDD}, 24, {0x00, 0x00, 0x87, 0xDD}},
        // frames shorter than the header stay as read
        {{0x00, 0x00, 0x86, 0xDD}, 3, {0x00, 0x00, 0x86, 0xDD}},
        {{0x00, 0x00, 0x08, 0x00}, 2, {0x00, 0x00, 0x08, 0x00}},
        {{0x00, 0x00, 0x86, 0xDD}, 0, {0x00, 0x00, 0x86, 0xDD}},
    };
    for (const TranslationCase& c : cases)
        check_translation(c, direction::read);
}

TEST(TunWrite, TranslatesOnlyTheIPv6FrameHeader)
{
    const TranslationCase cases[] = {
        {{0x00, 0x00, 0x00, 0x1C}, 44, {0x00, 0x00, 0x86, 0xDD}},
        {{0x00, 0x00, 0x00, 0x1C}, 4, {0x00, 0x00, 0x86, 0xDD}},
        // anything else stays as it is
        {{0x00, 0x00, 0x00, 0x02}, 24, {0x00, 0x00, 0x00, 0x02}},
        {{0x1C, 0x00, 0x00, 0x00}, 24, {0x1C, 0x00, 0x00, 0x00}},
        {{0x00, 0x00, 0x86, 0xDD}, 24, {0x00, 0x00, 0x86, 0xDD}},
        {{0x01, 0x00, 0x00, 0x1C}, 24, {0x01, 0x00, 0x00, 0x1C}},
        {{0x00, 0x00, 0x01, 0x1C}, 24, {0x00, 0x00, 0x01, 0x1C}},
        // frames shorter than the header stay as they are
        {{0x00, 0x00, 0x00, 0x1C}, 3, {0x00, 0x00, 0x00, 0x1C}},
        {{0x00, 0x00, 0x00, 0x1C}, 0, {0x00, 0x00, 0x00, 0x1C}},
    };
    for (const TranslationCase& c : cases)
        check_translation(c, direction::write);
}

TEST(TunReadAndWrite, IPv6FrameRoundTripsThroughBothTranslations)
{
    test::PacketPipe device;
    const std::vector<uint8_t> as_read = {0x00, 0x00, 0x86, 0xDD, 0x60, 0x01, 0x02, 0x03};
    std::vector<uint8_t> frame(as_read.size());
    device.put(as_read);
    ASSERT_EQ(tun_read(device.inner(), frame.data(), frame.size()), 8);
    EXPECT_EQ(hex_of(frame), "00 00 00 1c 60 01 02 03 ");
    ASSERT_EQ(tun_write(device.inner(), frame.data(), frame.size()), 8);
    EXPECT_EQ(hex_of(device.take()), hex_of(as_read));
}

}  // namespace
