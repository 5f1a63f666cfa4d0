// SPDX-License-Identifier: BSD-2-Clause
#include "forward/inbound.h"

#include "forward/failure_log.h"
#include "testing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using test::Counters;
using test::device_frame;
using test::dump_text;
using test::hex_of;
using test::ipv4_datagram;
using test::ipv6_packet;

using test::PathRun;
using test::TestTunnel;

const char* const me = "2001:db8:c000:201::10";
const char* const peer = "2001:db8:c633:6407::1";  // the site of 198.51.100.7
const char* const peer_v4 = "198.51.100.7";
const char* const relay_v4 = "203.0.113.1";

struct Decision {
    path_outcome outcome;
    size_t header_len;
    std::string trace;
};

// Receives a datagram of n bytes at the start of the buffer, as the raw
// socket would, and decides on it at the given debug level.
Decision decide(TestTunnel& tunnel, const std::vector<uint8_t>& datagram, int level, size_t n)
{
    tunnel.load(0, datagram);
    Decision d;
    d.header_len = 0xDEAD;
    d.trace = test::traced(level, [&] {
        d.outcome = raw2tun_decide(tunnel.ctx, tunnel.ctx.buffer, n, &d.header_len);
    });
    return d;
}

Decision decide(TestTunnel& tunnel, const std::vector<uint8_t>& datagram, int level = 1)
{
    return decide(tunnel, datagram, level, datagram.size());
}

// A forwarded datagram: the tunnel header over the last 4 bytes of the IPv4
// header, every other byte as received, so that the frame for the device is
// the L + 4 bytes from H - 4 and the IPv4 source is still there to trace.
void expect_frame_in_place(const TestTunnel& tunnel, const std::vector<uint8_t>& datagram,
                           size_t header_len)
{
    std::vector<uint8_t> expected = datagram;
    expected[header_len - 4] = 0x00;
    expected[header_len - 3] = 0x00;
    expected[header_len - 2] = 0x00;
    expected[header_len - 1] = 0x1C;
    EXPECT_EQ(hex_of(tunnel.bytes(0, datagram.size())), hex_of(expected));
}

struct RuleCase {
    const char* ipv4_source;
    const char* source;
    const char* destination;
    path_outcome outcome;
    std::string trace;  // at debug level 1
};

void check_rules(int common_len, const std::vector<RuleCase>& cases)
{
    for (const RuleCase& c : cases) {
        SCOPED_TRACE(std::string(c.ipv4_source) + " " + c.source + " -> " + c.destination +
                     " with " + std::to_string(common_len) + " common bits");
        for (uint8_t first_byte : {0x45, 0x65}) {
            // The version nibble is not examined: 0x65 is handled like 0x45.
            TestTunnel tunnel(common_len);
            std::vector<uint8_t> datagram =
                ipv4_datagram(c.ipv4_source, ipv6_packet(c.source, c.destination));
            datagram[0] = first_byte;
            const Decision d = decide(tunnel, datagram);
            ASSERT_EQ(outcome_name(d.outcome), std::string(outcome_name(c.outcome)))
                << "first byte " << int(first_byte);
            EXPECT_EQ(d.trace, c.trace);
            if (c.outcome == OUTCOME_FORWARD) {
                EXPECT_EQ(d.header_len, 20u);
                expect_frame_in_place(tunnel, datagram, 20);
            } else {
                EXPECT_EQ(hex_of(tunnel.bytes(0, datagram.size())), hex_of(datagram))
                    << "a refused datagram was changed";
            }
        }
    }
}

TEST(Raw2tunDecide, AcceptsSourcesOnlyFromTheRightSendersAndDestinationsOnlyForMe)
{
    check_rules(0, {
        {peer_v4, peer, me, OUTCOME_FORWARD, ""},
        {"203.0.113.9", peer, me, OUTCOME_REJECT,
         "raw2tun: embedded address differs from IPv4 source "
         "(2001:db8:c000:201::10 2001:db8:c633:6407::1 203.0.113.9)\n"},
        // the relay gets no exemption for a source inside the 6rd prefix
        {relay_v4, peer, me, OUTCOME_REJECT,
         "raw2tun: embedded address differs from IPv4 source "
         "(2001:db8:c000:201::10 2001:db8:c633:6407::1 203.0.113.1)\n"},
        {"10.0.0.1", "2001:db8:a00:1::1", me, OUTCOME_REJECT,
         "raw2tun: reject IPv4 source (2001:db8:c000:201::10 2001:db8:a00:1::1 10.0.0.1)\n"},
        {relay_v4, "3fff::1", me, OUTCOME_FORWARD, ""},
        {peer_v4, "3fff::1", me, OUTCOME_REJECT,
         "raw2tun: native address from non-relaying router "
         "(2001:db8:c000:201::10 3fff::1 198.51.100.7)\n"},
        {relay_v4, "fe80::1", me, OUTCOME_REJECT,
         "raw2tun: reject IPv6 source (2001:db8:c000:201::10 fe80::1 203.0.113.1)\n"},
        {peer_v4, peer, "2001:db8:c633:6407::2", OUTCOME_REJECT,
         "raw2tun: destination is not me "
         "(2001:db8:c633:6407::2 2001:db8:c633:6407::1 198.51.100.7)\n"},
        // more of the same rules
        {relay_v4, "3fff::1", "3fff::2", OUTCOME_REJECT,
         "raw2tun: destination is not me (3fff::2 3fff::1 203.0.113.1)\n"},
        {relay_v4, "3fff::1", "2001:db8:c000:200::10", OUTCOME_REJECT,
         "raw2tun: destination is not me (2001:db8:c000:200::10 3fff::1 203.0.113.1)\n"},
        {relay_v4, "3fff::1", "2001:db8:c000:201:ffff:ffff:ffff:ffff", OUTCOME_FORWARD, ""},
        {relay_v4, "ff0e::1", me, OUTCOME_FORWARD, ""},
        {relay_v4, "ff02::1", me, OUTCOME_REJECT,
         "raw2tun: reject IPv6 source (2001:db8:c000:201::10 ff02::1 203.0.113.1)\n"},
        {relay_v4, "::ffff:192.0.2.7", me, OUTCOME_REJECT,
         "raw2tun: reject IPv6 source (2001:db8:c000:201::10 ::ffff:192.0.2.7 203.0.113.1)\n"},
        {"127.0.0.1", "2001:db8:7f00:1::1", me, OUTCOME_REJECT,
         "raw2tun: reject IPv4 source (2001:db8:c000:201::10 2001:db8:7f00:1::1 127.0.0.1)\n"},
        // one bit outside the 6rd prefix: a native source
        {peer_v4, "2001:db9:c633:6407::1", me, OUTCOME_REJECT,
         "raw2tun: native address from non-relaying router "
         "(2001:db8:c000:201::10 2001:db9:c633:6407::1 198.51.100.7)\n"},
        // the own site may reach itself
        {"192.0.2.1", "2001:db8:c000:201::5", me, OUTCOME_FORWARD, ""},
    });
}

TEST(Raw2tunDecide, RefusesForTheSourceOnlyWhenBothRulesAreBroken)
{
    check_rules(0, {
        {peer_v4, "3fff::1", "3fff::2", OUTCOME_REJECT,
         "raw2tun: native address from non-relaying router (3fff::2 3fff::1 198.51.100.7)\n"},
        {relay_v4, "fe80::1", "3fff::2", OUTCOME_REJECT,
         "raw2tun: reject IPv6 source (3fff::2 fe80::1 203.0.113.1)\n"},
        {"203.0.113.9", peer, "2001:db8:c633:6407::2", OUTCOME_REJECT,
         "raw2tun: embedded address differs from IPv4 source "
         "(2001:db8:c633:6407::2 2001:db8:c633:6407::1 203.0.113.9)\n"},
        {"10.0.0.1", "2001:db8:a00:1::1", "2001:db8:a00:1::2", OUTCOME_REJECT,
         "raw2tun: reject IPv4 source (2001:db8:a00:1::2 2001:db8:a00:1::1 10.0.0.1)\n"},
    });
}

TEST(Raw2tunDecide, WithEightCommonBitsTheDelegatedPrefixIsA56)
{
    check_rules(8, {
        // the first 8 bits of the embedded address come from the own address
        {"192.51.100.7", "2001:db8:3364:700::1", "2001:db8:2:1ff::1", OUTCOME_FORWARD, ""},
        {peer_v4, "2001:db8:3364:700::1", "2001:db8:2:1ff::1", OUTCOME_REJECT,
         "raw2tun: embedded address differs from IPv4 source "
         "(2001:db8:2:1ff::1 2001:db8:3364:700::1 198.51.100.7)\n"},
        {"192.51.100.7", "2001:db8:3364:700::1", me, OUTCOME_REJECT,
         "raw2tun: destination is not me "
         "(2001:db8:c000:201::10 2001:db8:3364:700::1 192.51.100.7)\n"},
        {"192.168.1.1", "2001:db8:a801:100::1", "2001:db8:2:1ff::1", OUTCOME_REJECT,
         "raw2tun: reject IPv4 source (2001:db8:2:1ff::1 2001:db8:a801:100::1 192.168.1.1)\n"},
    });
}

struct SizeCase {
    std::vector<uint8_t> datagram;
    size_t n;  // what the receive reported
    path_outcome outcome;
    std::string trace;  // at debug level 1
    size_t header_len;  // of a forwarded datagram
};

// A valid datagram from the peer with an IPv4 header of header_len bytes,
// cut to total bytes, and with another first byte if one is given.
std::vector<uint8_t> sized(size_t header_len, size_t total, int first_byte = -1)
{
    const size_t packet_len = total > header_len ? total - header_len : 0;
    std::vector<uint8_t> datagram =
        ipv4_datagram(peer_v4, ipv6_packet(peer, me, packet_len < 40 ? 40 : packet_len), header_len);
    if (first_byte >= 0)
        datagram[0] = static_cast<uint8_t>(first_byte);
    datagram.resize(total);
    return datagram;
}

std::string too_short(size_t h)
{
    return "raw2tun: IPv4 header too short (" + std::to_string(h) + ")\n";
}

std::string no_ipv6(size_t l)
{
    return "raw2tun: no IPv6 header (" + std::to_string(l) + ")\n";
}

std::vector<SizeCase> size_cases()
{
    std::vector<SizeCase> cases = {
        // a datagram that fills the buffer may have been cut
        {sized(20, 2048), 2048, OUTCOME_ERROR, "raw2tun: packet too big\n", 0},
        {sized(20, 2047), 2047, OUTCOME_FORWARD, "", 20},
        {sized(20, 19), 19, OUTCOME_ERROR, "raw2tun: no IPv4 header (19)\n", 0},
        {{}, 0, OUTCOME_ERROR, "raw2tun: no IPv4 header (0)\n", 0},
        // header-length nibbles 0 to 4
        {sized(20, 60, 0x40), 60, OUTCOME_ERROR, too_short(0), 0},
        {sized(20, 60, 0x41), 60, OUTCOME_ERROR, too_short(4), 0},
        {sized(20, 60, 0x42), 60, OUTCOME_ERROR, too_short(8), 0},
        {sized(20, 60, 0x43), 60, OUTCOME_ERROR, too_short(12), 0},
        {sized(20, 20, 0x44), 20, OUTCOME_ERROR, too_short(16), 0},
        {sized(20, 60, 0x00), 60, OUTCOME_ERROR, too_short(0), 0},
        // nibble 5
        {sized(20, 59), 59, OUTCOME_ERROR, no_ipv6(39), 0},
        {sized(20, 20), 20, OUTCOME_ERROR, no_ipv6(0), 0},
        {sized(20, 60), 60, OUTCOME_FORWARD, "", 20},
        {sized(20, 60, 0x65), 60, OUTCOME_FORWARD, "", 20},
        {sized(20, 60, 0xF5), 60, OUTCOME_FORWARD, "", 20},
        // nibble 6: fewer bytes than the header claims
        {sized(24, 22), 22, OUTCOME_ERROR, "raw2tun: IPv4 header too long (22, 24)\n", 0},
        // nibble 15: H = 60
        {sized(60, 59), 59, OUTCOME_ERROR, "raw2tun: IPv4 header too long (59, 60)\n", 0},
        {sized(60, 20), 20, OUTCOME_ERROR, "raw2tun: IPv4 header too long (20, 60)\n", 0},
        {sized(60, 100), 100, OUTCOME_FORWARD, "", 60},
        {sized(60, 2047), 2047, OUTCOME_FORWARD, "", 60},
    };
    // nibble 15 with 60 to 99 bytes: 0 to 39 bytes of IPv6
    for (size_t n = 60; n < 100; ++n)
        cases.push_back({sized(60, n), n, OUTCOME_ERROR, no_ipv6(n - 60), 0});
    // every header length from 20 to 60 with a whole IPv6 packet behind it
    for (size_t h = 20; h <= 60; h += 4)
        cases.push_back({sized(h, h + 64), h + 64, OUTCOME_FORWARD, "", h});
    return cases;
}

TEST(Raw2tunDecide, ChecksSizeAndHeaderLengthsBeforeTheRules)
{
    for (const SizeCase& c : size_cases()) {
        SCOPED_TRACE("datagram of " + std::to_string(c.n) + " bytes, first byte " +
                     (c.datagram.empty() ? std::string("none") : std::to_string(c.datagram[0])));
        TestTunnel tunnel;
        const Decision d = decide(tunnel, c.datagram, 1, c.n);
        EXPECT_EQ(outcome_name(d.outcome), std::string(outcome_name(c.outcome)));
        EXPECT_EQ(d.trace, c.trace);
        if (c.outcome == OUTCOME_FORWARD) {
            EXPECT_EQ(d.header_len, c.header_len);
            expect_frame_in_place(tunnel, c.datagram, c.header_len);
        } else {
            EXPECT_EQ(hex_of(tunnel.bytes(0, c.datagram.size())), hex_of(c.datagram));
        }
    }
}

TEST(Raw2tunDecide, TunnelHeaderLandsInTheLastBytesOfLongIPv4Headers)
{
    // With H = 60 the header lies in bytes 56 to 59, inside the options.
    TestTunnel tunnel;
    const std::vector<uint8_t> datagram = sized(60, 100);
    const Decision d = decide(tunnel, datagram);
    ASSERT_EQ(d.outcome, OUTCOME_FORWARD);
    EXPECT_EQ(d.header_len, 60u);
    EXPECT_EQ(hex_of(tunnel.bytes(56, 4)), "00 00 00 1c ");
    // The options in front of it, and the IPv4 source, as received.
    const std::vector<uint8_t> options(datagram.begin(), datagram.begin() + 56);
    EXPECT_EQ(hex_of(tunnel.bytes(0, 56)), hex_of(options));
    EXPECT_EQ(hex_of(tunnel.bytes(12, 4)), "c6 33 64 07 ");
    // The IPv6 packet follows unchanged.
    const std::vector<uint8_t> packet(datagram.begin() + 60, datagram.end());
    EXPECT_EQ(hex_of(tunnel.bytes(60, 40)), hex_of(packet));
}

TEST(Raw2tunDecide, DumpsTheDatagramAsReceivedAtLevelTwo)
{
    for (const SizeCase& c : size_cases()) {
        SCOPED_TRACE("datagram of " + std::to_string(c.n) + " bytes");
        TestTunnel tunnel;
        const Decision d = decide(tunnel, c.datagram, 2, c.n);
        // The size test comes first: what is too big is not dumped.
        const std::string dump =
            c.n >= 2048 ? "" : "raw2tun:\n" + dump_text(tunnel.ctx.buffer, c.datagram);
        EXPECT_EQ(d.trace, dump + c.trace);
    }
    // A refusal: the dump, then the line.
    TestTunnel tunnel;
    const std::vector<uint8_t> datagram = ipv4_datagram(peer_v4, ipv6_packet("3fff::1", me));
    const Decision d = decide(tunnel, datagram, 2);
    EXPECT_EQ(d.trace, "raw2tun:\n" + dump_text(tunnel.ctx.buffer, datagram) +
                           "raw2tun: native address from non-relaying router "
                           "(2001:db8:c000:201::10 3fff::1 198.51.100.7)\n");
}

TEST(Raw2tunDecide, SameOutcomesWithoutOutputAtLevelZero)
{
    std::vector<SizeCase> cases = size_cases();
    for (const char* ipv4_source : {peer_v4, relay_v4, "10.0.0.1"})
        cases.push_back({ipv4_datagram(ipv4_source, ipv6_packet("2001:db8:a00:1::1", me)), 84,
                         OUTCOME_REJECT, "", 0});
    cases.push_back({ipv4_datagram(peer_v4, ipv6_packet("3fff::1", me)), 84, OUTCOME_REJECT, "", 0});
    cases.push_back({ipv4_datagram(peer_v4, ipv6_packet(peer, peer)), 84, OUTCOME_REJECT, "", 0});
    for (const SizeCase& c : cases) {
        SCOPED_TRACE("datagram of " + std::to_string(c.n) + " bytes");
        TestTunnel tunnel;
        const Decision d = decide(tunnel, c.datagram, 0, c.n);
        EXPECT_EQ(outcome_name(d.outcome), std::string(outcome_name(c.outcome)));
        EXPECT_EQ(d.trace, "");
    }
}

TEST(Raw2tunDecide, IgnoresBufferBytesAfterTheDatagram)
{
    std::vector<SizeCase> cases = size_cases();
    for (const char* source : {peer, "3fff::1", "fe80::1", "2001:db8:a00:1::1"})
        cases.push_back({ipv4_datagram(peer_v4, ipv6_packet(source, me)), 84, OUTCOME_REJECT, "", 0});
    cases.push_back({ipv4_datagram(relay_v4, ipv6_packet("3fff::1", me)), 84, OUTCOME_FORWARD, "", 20});

    for (const SizeCase& c : cases) {
        SCOPED_TRACE("datagram of " + std::to_string(c.n) + " bytes");
        // One context for both runs, so that the dump addresses agree.
        TestTunnel tunnel;
        Decision results[2];
        std::vector<uint8_t> left[2];
        const uint8_t fills[2] = {0x00, 0xFF};
        for (int i = 0; i < 2; ++i) {
            tunnel.fill(fills[i]);
            results[i] = decide(tunnel, c.datagram, 2, c.n);
            left[i] = tunnel.bytes(0, c.n);
            // Nothing is written after the datagram.
            for (size_t at = c.n; at < tunnel.ctx.buffer_size; ++at) {
                ASSERT_EQ(tunnel.ctx.buffer[at], fills[i]) << "byte " << at << " written";
            }
        }
        EXPECT_EQ(results[0].outcome, results[1].outcome);
        EXPECT_EQ(results[0].header_len, results[1].header_len);
        EXPECT_TRUE(left[0] == left[1]) << "the bytes left differ";
        EXPECT_TRUE(results[0].trace == results[1].trace)
            << results[0].trace.substr(0, 300) << "\nvs\n" << results[1].trace.substr(0, 300);
    }
}

// The whole inbound path: the datagram waits on the raw socket, and what
// was written to the tunnel device is returned.
PathRun run_raw2tun(TestTunnel& tunnel, const std::vector<uint8_t>& datagram, int level,
                    bool socket_works = true, bool device_works = true)
{
    reset_failure_log();
    return test::run_path(tunnel, raw2tun, datagram, level, tunnel.ctx.raw_fd, socket_works,
                          tunnel.ctx.tun_fd, device_works);
}

TEST(Raw2tun, DeliversCountsAndTracesEachOutcome)
{
    struct Case {
        int common_len;
        const char* ipv4_source;
        std::vector<uint8_t> packet;
        size_t header_len;
        bool delivered;
        std::string line;  // at debug level 1
        Counters counters;
    };
    const Case cases[] = {
        {0, peer_v4, ipv6_packet(peer, me, 64, 58), 20, true,
         "in  2001:db8:c000:201::10 2001:db8:c633:6407::1 198.51.100.7 n=58 s=64\n",
         {1, 0, 0, 64, 0, 0, 0, 0}},
        {0, relay_v4, ipv6_packet("3fff::1", me, 1280, 6, 0xB8), 20, true,
         "in  2001:db8:c000:201::10 3fff::1 203.0.113.1 n=6 s=1280\n",
         {1, 0, 0, 1280, 0, 0, 0, 0}},
        {8, "192.51.100.7", ipv6_packet("2001:db8:3364:700::1", "2001:db8:2:1ff::1", 80, 17), 20,
         true, "in  2001:db8:2:1ff::1 2001:db8:3364:700::1 192.51.100.7 n=17 s=80\n",
         {1, 0, 0, 80, 0, 0, 0, 0}},
        // the IPv4 source is still there for the line after a long header
        {0, peer_v4, ipv6_packet(peer, me, 40, 59), 60, true,
         "in  2001:db8:c000:201::10 2001:db8:c633:6407::1 198.51.100.7 n=59 s=40\n",
         {1, 0, 0, 40, 0, 0, 0, 0}},
        {0, "203.0.113.9", ipv6_packet(peer, me), 20, false,
         "raw2tun: embedded address differs from IPv4 source "
         "(2001:db8:c000:201::10 2001:db8:c633:6407::1 203.0.113.9)\n",
         {0, 0, 1, 0, 0, 0, 0, 0}},
        {0, peer_v4, ipv6_packet(peer, me, 39), 20, false, "raw2tun: no IPv6 header (39)\n",
         {0, 1, 0, 0, 0, 0, 0, 0}},
        // cut to the buffer by the receive
        {0, peer_v4, ipv6_packet(peer, me, 2100), 20, false, "raw2tun: packet too big\n",
         {0, 1, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        for (int level : {0, 1}) {
            TestTunnel tunnel(c.common_len);
            const std::vector<uint8_t> datagram =
                ipv4_datagram(c.ipv4_source, c.packet, c.header_len);
            const PathRun run = run_raw2tun(tunnel, datagram, level);
            EXPECT_EQ(run.output, level == 0 ? "" : c.line) << "level " << level;
            EXPECT_EQ(run.counters, c.counters);
            if (c.delivered) {
                // L + 4 bytes: the device's header, then the packet unchanged.
                EXPECT_EQ(hex_of(run.written), hex_of(device_frame(c.packet)));
            } else {
                EXPECT_TRUE(run.written.empty()) << "wrote " << run.written.size() << " bytes";
            }
        }
    }
}

TEST(Raw2tun, LogsFailedReceiveAndWriteAsErrors)
{
    const std::vector<uint8_t> datagram = ipv4_datagram(peer_v4, ipv6_packet(peer, me));
    {
        TestTunnel tunnel;
        const PathRun run = run_raw2tun(tunnel, datagram, 1, false, true);
        EXPECT_EQ(run.output, test::logged("recv: raw: Bad file descriptor"));
        EXPECT_EQ(run.counters, (Counters{0, 1, 0, 0, 0, 0, 0, 0}));
    }
    for (int level : {0, 1}) {
        TestTunnel tunnel;
        const PathRun run = run_raw2tun(tunnel, datagram, level, true, false);
        // Logged whatever the level, and no "in" line.
        EXPECT_EQ(run.output, test::logged("write: tun: Bad file descriptor")) << "level " << level;
        EXPECT_EQ(run.counters, (Counters{0, 1, 0, 0, 0, 0, 0, 0}));
    }
}

TEST(Raw2tun, CountersAddUpOverSeveralDatagrams)
{
    TestTunnel tunnel;
    run_raw2tun(tunnel, ipv4_datagram(peer_v4, ipv6_packet(peer, me, 100)), 0);
    run_raw2tun(tunnel, ipv4_datagram(relay_v4, ipv6_packet("3fff::1", me, 60)), 0);
    run_raw2tun(tunnel, ipv4_datagram(peer_v4, ipv6_packet("3fff::1", me, 60)), 0);
    run_raw2tun(tunnel, ipv4_datagram(peer_v4, ipv6_packet(peer, me, 30)), 0);
    const PathRun run = run_raw2tun(tunnel, ipv4_datagram(peer_v4, ipv6_packet(peer, me, 40)), 0);
    EXPECT_EQ(run.counters, (Counters{3, 1, 1, 200, 0, 0, 0, 0}));
}

}  // namespace
