// SPDX-License-Identifier: BSD-2-Clause
#include "link/tcp_offload.h"

#include "testing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t ack = 0x10, psh = 0x08, fin = 0x01, syn = 0x02, cwr = 0x80;

// The Internet checksum word by word, big-endian, as RFC 1071 writes it:
// the model the machine-order sums are held to.
uint32_t word_sum(const uint8_t* data, size_t len, uint32_t sum = 0)
{
    for (size_t i = 0; i < len; i += 2)
        sum += static_cast<uint32_t>(data[i] << 8 | (i + 1 < len ? data[i + 1] : 0));
    return sum;
}

uint16_t folded(uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

// Whether the upper-layer checksum of an IPv6 packet without extension
// headers is right.
bool model_checksum_ok(const Bytes& p)
{
    const size_t upper = p.size() - 40;
    uint32_t sum = word_sum(p.data() + 8, 32) + static_cast<uint32_t>(upper >> 16) +
                   static_cast<uint32_t>(upper & 0xFFFF) + p[6];
    return folded(word_sum(p.data() + 40, upper, sum)) == 0xFFFF;
}

uint16_t stored(const Bytes& p, size_t at)
{
    return static_cast<uint16_t>(p[at] << 8 | p[at + 1]);
}

uint32_t sequence_of(const Bytes& p)
{
    return static_cast<uint32_t>(p[44]) << 24 | p[45] << 16 | p[46] << 8 | p[47];
}

// A TCP segment from 2001:db8:c633:6407::1 port 443 with the given sequence
// number, flags and payload bytes (counting from first), a 12-byte option
// block, and a correct checksum unless told otherwise.
Bytes segment(uint32_t sequence, size_t payload, uint8_t flags = ack, uint8_t first = 0,
              bool good_checksum = true)
{
    Bytes p = test::ipv6_packet("2001:db8:c633:6407::1", "2001:db8:c000:201::10",
                                40 + 32 + payload, 6);
    uint8_t* t = p.data() + 40;
    std::memset(t, 0, 32);
    t[0] = 0x01, t[1] = 0xBB, t[2] = 0xC3, t[3] = 0x50;
    t[4] = static_cast<uint8_t>(sequence >> 24), t[5] = static_cast<uint8_t>(sequence >> 16);
    t[6] = static_cast<uint8_t>(sequence >> 8), t[7] = static_cast<uint8_t>(sequence);
    t[8] = 0x11, t[11] = 0x22;           // acknowledgement
    t[12] = 8 << 4, t[13] = flags;       // 32-byte header
    t[14] = 0x01, t[15] = 0xF5;          // window
    t[20] = 1, t[21] = 1, t[22] = 8, t[23] = 10, t[24] = 0xAB;  // NOP NOP timestamps
    for (size_t i = 0; i < payload; ++i)
        p[72 + i] = static_cast<uint8_t>(first + i);
    const uint32_t sum = word_sum(p.data() + 8, 32) + static_cast<uint32_t>(p.size() - 40) + 6;
    const uint16_t check = static_cast<uint16_t>(~folded(word_sum(t, p.size() - 40, sum)));
    t[16] = static_cast<uint8_t>(check >> 8);
    t[17] = static_cast<uint8_t>(check ^ (good_checksum ? 0 : 1));
    return p;
}

TEST(Checksum, MachineOrderSumsFoldToTheWordSumOfEveryLengthAndStart)
{
    // RFC 1071's example: 00 01 f2 03 f4 f5 f6 f7 sums to 0xddf2.
    const uint8_t example[] = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
    EXPECT_EQ(ntohs(checksum_fold(checksum_add(0, example, sizeof example))), 0xDDF2);
    Bytes data(100);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 37 + 0xF0);
    for (size_t start = 0; start < 8; ++start)
        for (size_t len = 0; start + len <= data.size(); ++len)
            ASSERT_EQ(ntohs(checksum_fold(checksum_add(0, data.data() + start, len))),
                      folded(word_sum(data.data() + start, len)))
                << "start " << start << " length " << len;
}

TEST(Checksum, CompletingAPartialChecksumGivesTheWholeOneAndRefusesFieldsOutside)
{
    // A UDP datagram as the host hands it over: the pseudo-header sum in the
    // checksum field, the rest left to the device.
    Bytes p =
        test::ipv6_packet("2001:db8:c000:201::1", "2001:db8:cb00:7109::1", 40 + 8 + 63, 17);
    p[44] = 0, p[45] = 8 + 63;
    const uint16_t partial = checksum_fold(ipv6_pseudo_sum(p.data(), 8 + 63, 17));
    std::memcpy(p.data() + 46, &partial, 2);
    ASSERT_TRUE(complete_checksum(p.data(), p.size(), 40, 6));
    EXPECT_TRUE(model_checksum_ok(p));

    const Bytes before = p;
    for (const auto& [start, offset] : {std::pair<size_t, size_t>{p.size(), 0},
                                        {p.size() - 1, 0}, {40, p.size() - 41}, {200, 6},
                                        {40, 7}}) {
        EXPECT_FALSE(complete_checksum(p.data(), p.size(), start, offset))
            << start << "+" << offset;
        EXPECT_EQ(p, before);
    }
}

TEST(Checksum, TcpSegmentsAreCheckedAsTheHostWould)
{
    EXPECT_TRUE(tcp6_checksum_valid(segment(1, 100).data(), 40 + 32 + 100));
    EXPECT_TRUE(tcp6_checksum_valid(segment(1, 101).data(), 40 + 32 + 101));
    EXPECT_FALSE(tcp6_checksum_valid(segment(1, 100, ack, 0, false).data(), 40 + 32 + 100));
}

offload_header tso(uint16_t segment_size)
{
    offload_header h{};
    h.kind = OFFLOAD_TCP6;
    h.needs_checksum = true;
    h.header_len = 72;
    h.segment_size = segment_size;
    h.checksum_start = 40;
    h.checksum_offset = 16;
    return h;
}

TEST(Split, ASuperPacketBecomesSegmentsWithTheirOwnHeadersAndTheSamePayload)
{
    // 3500 bytes of payload in segments of 1208: 1208, 1208, 1084.
    Bytes super = segment(1000, 3500, ack | psh | fin | cwr);
    tcp_split split;
    ASSERT_TRUE(plan_tcp_split(super.data(), super.size(), tso(1208), &split));
    EXPECT_EQ(split.count, 3u);
    EXPECT_EQ(split.header_len, 72u);
    Bytes joined;
    for (size_t i = 0; i < split.count; ++i) {
        Bytes out(tcp_segment_len(split, i));
        ASSERT_EQ(write_tcp_segment(super.data(), split, i, out.data()), out.size());
        const size_t payload = i < 2 ? 1208 : 1084;
        EXPECT_EQ(out.size(), 72 + payload);
        EXPECT_EQ(stored(out, 4), 32 + payload) << "IPv6 payload length";
        EXPECT_EQ(sequence_of(out), 1000 + 1208 * i);
        const uint8_t flags[] = {ack | cwr, ack, ack | psh | fin};
        EXPECT_EQ(out[53], flags[i]) << "segment " << i;
        EXPECT_TRUE(model_checksum_ok(out)) << "segment " << i;
        // Window, urgent pointer and options as in the super-packet.
        EXPECT_TRUE(std::equal(out.begin() + 54, out.begin() + 56, super.begin() + 54));
        EXPECT_TRUE(std::equal(out.begin() + 58, out.begin() + 72, super.begin() + 58));
        joined.insert(joined.end(), out.begin() + 72, out.end());
    }
    EXPECT_TRUE(std::equal(joined.begin(), joined.end(), super.begin() + 72));
}

TEST(Split, OnlyTcpRightBehindTheHeaderWithMoreThanOneSegmentIsCut)
{
    tcp_split split;
    const Bytes super = segment(1, 3000);
    Bytes not_tcp = super;
    not_tcp[6] = 17;
    Bytes short_offset = super;
    short_offset[52] = 4 << 4;
    Bytes long_offset = segment(1, 20);
    long_offset[52] = 15 << 4;
    offload_header none = tso(1208);
    none.kind = OFFLOAD_NONE;
    const struct {
        const char* what;
        const Bytes& packet;
        offload_header header;
    } cases[] = {
        {"no segmentation asked for", super, none},
        {"not TCP", not_tcp, tso(1208)},
        {"TCP header under 20 bytes", short_offset, tso(1208)},
        {"TCP header beyond the packet", long_offset, tso(8)},
        {"one segment holds it all", super, tso(3000)},
        {"segment size 0", super, tso(0)},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(plan_tcp_split(c.packet.data(), c.packet.size(), c.header, &split))
            << c.what;
    EXPECT_FALSE(plan_tcp_split(super.data(), 60, tso(8), &split)) << "headers cut";
}

TEST(Run, ConsecutiveSegmentsOfAFlowBecomeOnePacketForTheDevice)
{
    Bytes first = segment(1000, 1208), second = segment(2208, 1208, ack, 0xB8),
          last = segment(3416, 500, ack | psh, 0x70);
    tcp_run run;
    ASSERT_TRUE(tcp_run_start(&run, first.data(), first.size()));
    ASSERT_TRUE(tcp_run_join(&run, second.data(), second.size()));
    ASSERT_TRUE(tcp_run_join(&run, last.data(), last.size()));
    EXPECT_TRUE(run.closed);
    Bytes after = segment(3916, 100);
    EXPECT_FALSE(tcp_run_join(&run, after.data(), after.size())) << "a shorter one ends it";

    const Bytes received = first;
    offload_header h;
    tcp_run_seal(&run, &h);
    EXPECT_EQ(h.kind, OFFLOAD_TCP6);
    EXPECT_TRUE(h.needs_checksum);
    EXPECT_EQ(h.header_len, 72);
    EXPECT_EQ(h.segment_size, 1208);
    EXPECT_EQ(h.checksum_start, 40);
    EXPECT_EQ(h.checksum_offset, 16);
    EXPECT_EQ(stored(first, 4), 32 + 1208 + 1208 + 500);
    EXPECT_EQ(first[53], ack | psh);
    // The whole, its checksum completed as the device would, is right.
    Bytes whole(first.begin(), first.end());
    whole.insert(whole.end(), second.begin() + 72, second.end());
    whole.insert(whole.end(), last.begin() + 72, last.end());
    ASSERT_TRUE(complete_checksum(whole.data(), whole.size(), 40, 16));
    EXPECT_TRUE(model_checksum_ok(whole));
    tcp_run_unseal(&run);
    EXPECT_EQ(first, received);
}

TEST(Run, SegmentsThatTheHostWouldNotMergeStayApart)
{
    const auto other = [](int byte, uint8_t value) {
        Bytes p = segment(2208, 1208);
        p[static_cast<size_t>(byte)] = value;
        // A changed field with a right checksum, so that only the field counts.
        p[56] = 0, p[57] = 0;
        const uint32_t sum = word_sum(p.data() + 8, 32) + static_cast<uint32_t>(p.size() - 40) + 6;
        const uint16_t check =
            static_cast<uint16_t>(~folded(word_sum(p.data() + 40, p.size() - 40, sum)));
        p[56] = static_cast<uint8_t>(check >> 8), p[57] = static_cast<uint8_t>(check);
        return p;
    };
    const struct {
        const char* what;
        Bytes packet;
    } cases[] = {
        {"a sequence gap", segment(2209, 1208)},
        {"more payload than the first", segment(2208, 1209)},
        {"no payload", segment(2208, 0)},
        {"SYN", segment(2208, 1208, ack | syn)},
        {"FIN", segment(2208, 1208, ack | fin)},
        {"a bad checksum", segment(2208, 1208, ack, 0, false)},
        {"another traffic class", other(1, 0xBA)},
        {"another hop limit", other(7, 63)},
        {"another source", other(23, 2)},
        {"another port", other(43, 0x51)},
        {"another acknowledgement", other(51, 0x23)},
        {"another window", other(55, 0xF6)},
        {"other options", other(64, 0xAC)},
        {"a payload length that disagrees", other(5, 0)},
    };
    for (const auto& c : cases) {
        Bytes first = segment(1000, 1208);
        tcp_run run;
        ASSERT_TRUE(tcp_run_start(&run, first.data(), first.size()));
        EXPECT_FALSE(tcp_run_join(&run, c.packet.data(), c.packet.size())) << c.what;
        EXPECT_EQ(run.count, 1) << c.what;
    }
    // A first segment with a bad checksum takes no other: the host drops it alone.
    Bytes bad = segment(1000, 1208, ack, 0, false), next = segment(2208, 1208);
    tcp_run run;
    ASSERT_TRUE(tcp_run_start(&run, bad.data(), bad.size()));
    EXPECT_FALSE(tcp_run_join(&run, next.data(), next.size()));
    // What cannot start a run: anything but TCP with payload and ACK alone.
    for (Bytes p : {segment(1, 0), segment(1, 10, syn), segment(1, 10, ack | fin)})
        EXPECT_FALSE(tcp_run_start(&run, p.data(), p.size()));
}

}  // namespace
