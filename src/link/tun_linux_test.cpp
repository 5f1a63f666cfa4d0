#include "link/packet_info_linux.h"

#include "forward/test_packets.h"

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

// Runs a translation on a frame that sits 8 bytes into a patterned buffer
// and checks that only the expected header bytes changed: nothing in front
// of the frame, nothing after its first 4 bytes.
template <typename Translate>
void check_translation(const TranslationCase& c, Translate translate)
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

    translate(buffer.data() + 8, c.n);
    EXPECT_EQ(hex_of(buffer), hex_of(expected));
}

TEST(PacketInfoToFrameHeader, TranslatesIPv6AndIPv4EtherTypesOnly)
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
        check_translation(c, packet_info_to_frame_header);
}

TEST(FrameHeaderToPacketInfo, TranslatesOnlyTheIPv6FrameHeader)
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
        check_translation(c, frame_header_to_packet_info);
}

TEST(PacketInfo, IPv6FrameRoundTripsThroughBothTranslations)
{
    std::vector<uint8_t> frame = {0x00, 0x00, 0x86, 0xDD, 0x60, 0x01, 0x02, 0x03};
    const std::vector<uint8_t> as_read = frame;
    packet_info_to_frame_header(frame.data(), frame.size());
    EXPECT_EQ(hex_of(frame), "00 00 00 1c 60 01 02 03 ");
    frame_header_to_packet_info(frame.data(), frame.size());
    EXPECT_EQ(hex_of(frame), hex_of(as_read));
}

}  // namespace
