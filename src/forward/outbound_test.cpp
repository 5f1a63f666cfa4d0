// SPDX-License-Identifier: BSD-2-Clause
#include "forward/outbound.h"

#include "forward/failure_log.h"
#include "testing.h"

#include <arpa/inet.h>

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

using test::ipv6_packet;
using test::PathRun;
using test::TestTunnel;
using test::text_of;
using test::tun_frame;

const char* const me = "2001:db8:c000:201::10";
const char* const peer = "2001:db8:c633:6407::1";

constexpr size_t read_offset = outbound_read_offset;  // frames land 20 bytes in
constexpr size_t header_offset = 4;                   // the outer header ends up here
constexpr size_t packet_offset = 24;                  // the IPv6 packet, never moved

struct Decision {
    path_outcome outcome;
    sockaddr_in target;
    size_t length;
    std::string trace;
};

// Reads a frame of n bytes into the buffer, as the tunnel read would, and
// decides on it at the given debug level.
Decision decide(TestTunnel& tunnel, const std::vector<uint8_t>& frame, int level, size_t n)
{
    tunnel.load(read_offset, frame);
    Decision d;
    std::memset(&d.target, 0xEE, sizeof d.target);
    d.length = 0xDEAD;
    d.trace = test::traced(
        level, [&] {
            d.outcome = tun2raw_decide(tunnel.ctx, tunnel.ctx.buffer, n, &d.target, &d.length);
        });
    return d;
}

Decision decide(TestTunnel& tunnel, const std::vector<uint8_t>& frame, int level = 1)
{
    return decide(tunnel, frame, level, frame.size());
}

// The outer header in buffer bytes 4 to 23, field by field, and the IPv6
// packet behind it, unchanged and unmoved.
void expect_outer_header(const TestTunnel& tunnel, const std::vector<uint8_t>& packet,
                         const char* destination, uint8_t tos)
{
    const uint8_t* h = tunnel.ctx.buffer + header_offset;
    const size_t total = packet.size() + 20;
    EXPECT_EQ(h[0], 0x45) << "version and header length";
    EXPECT_EQ(h[1], tos) << "type of service";
    EXPECT_EQ(h[2], total >> 8) << "total length";
    EXPECT_EQ(h[3], total & 0xFF) << "total length";
    EXPECT_EQ(h[4], 0) << "identification";
    EXPECT_EQ(h[5], 0) << "identification";
    EXPECT_EQ(h[6], 0) << "flags and fragment offset";
    EXPECT_EQ(h[7], 0) << "flags and fragment offset";
    EXPECT_EQ(h[8], 255) << "time to live";
    EXPECT_EQ(h[9], 41) << "protocol";
    EXPECT_EQ(h[10], 0) << "checksum";
    EXPECT_EQ(h[11], 0) << "checksum";
    in_addr source;
    in_addr dest;
    std::memcpy(&source, h + 12, 4);
    std::memcpy(&dest, h + 16, 4);
    EXPECT_EQ(text_of(source), "192.0.2.1");
    EXPECT_EQ(text_of(dest), destination);
    EXPECT_EQ(hex_of(tunnel.bytes(packet_offset, packet.size())), hex_of(packet))
        << "the IPv6 packet changed or moved";
}

// The target is the relay's socket address with at most the address
// replaced.
void expect_target(const TestTunnel& tunnel, const sockaddr_in& target, const char* destination)
{
    EXPECT_EQ(target.sin_family, AF_INET);
    EXPECT_EQ(target.sin_port, 0);
    EXPECT_EQ(text_of(target.sin_addr), destination);
    sockaddr_in template_with_address = tunnel.ctx.relay_addr;
    template_with_address.sin_addr = target.sin_addr;
    EXPECT_EQ(std::memcmp(&template_with_address, &target, sizeof target), 0)
        << "the target differs from the relay's address in more than the address";
}

struct RouteCase {
    const char* source;
    const char* destination;
    path_outcome outcome;
    const char* target;  // where a forwarded packet goes
    std::string trace;   // at debug level 1
};

void check_routes(int common_len, const std::vector<RouteCase>& cases)
{
    for (const RouteCase& c : cases) {
        SCOPED_TRACE(std::string(c.source) + " -> " + c.destination + " with " +
                     std::to_string(common_len) + " common bits");
        TestTunnel tunnel(common_len);
        tunnel.fill(0xC3);
        const std::vector<uint8_t> packet = ipv6_packet(c.source, c.destination);
        const Decision d = decide(tunnel, tun_frame(packet));
        ASSERT_EQ(outcome_name(d.outcome), std::string(outcome_name(c.outcome)));
        EXPECT_EQ(d.trace, c.trace);
        if (c.outcome == OUTCOME_FORWARD) {
            EXPECT_EQ(d.length, packet.size());
            expect_target(tunnel, d.target, c.target);
            expect_outer_header(tunnel, packet, c.target, 0x00);
        } else {
            // A refused packet gets no outer header.
            EXPECT_EQ(hex_of(tunnel.bytes(0, read_offset)), hex_of(std::vector<uint8_t>(20, 0xC3)));
        }
    }
}

TEST(Tun2rawDecide, SendsStraightToSitesOrToTheRelayAndRefusesByTheRules)
{
    check_routes(0, {
        {me, peer, OUTCOME_FORWARD, "198.51.100.7", ""},
        {me, "3fff::1", OUTCOME_FORWARD, "203.0.113.1", ""},
        {me, "2001:db8:a00:1::1", OUTCOME_REJECT, nullptr,
         "tun2raw: reject IPv4 destination (2001:db8:c000:201::10 2001:db8:a00:1::1)\n"},
        {me, "fe80::1", OUTCOME_REJECT, nullptr,
         "tun2raw: reject IPv6 destination (2001:db8:c000:201::10 fe80::1)\n"},
        {"2001:db8:c000:202::10", peer, OUTCOME_REJECT, nullptr,
         "tun2raw: source is not me (2001:db8:c000:202::10 2001:db8:c633:6407::1)\n"},
        // a source outside the delegated prefix is refused whatever the destination
        {"2001:db8:c000:202::10", "fe80::1", OUTCOME_REJECT, nullptr,
         "tun2raw: source is not me (2001:db8:c000:202::10 fe80::1)\n"},
        {"3fff::10", "2001:db8:a00:1::1", OUTCOME_REJECT, nullptr,
         "tun2raw: source is not me (3fff::10 2001:db8:a00:1::1)\n"},
        {"2001:db8:c000:200::10", "3fff::1", OUTCOME_REJECT, nullptr,
         "tun2raw: source is not me (2001:db8:c000:200::10 3fff::1)\n"},
        // any address of the own /64 is a source of this site
        {"2001:db8:c000:201:ffff:ffff:ffff:ffff", "3fff::1", OUTCOME_FORWARD, "203.0.113.1", ""},
        // a destination in the own delegated prefix goes to the own address
        {me, "2001:db8:c000:201::99", OUTCOME_FORWARD, "192.0.2.1", ""},
        // inside the 6rd prefix never goes to the relay, even the relay's own site
        {me, "2001:db8:cb00:7101::1", OUTCOME_FORWARD, "203.0.113.1", ""},
        {me, "2001:db8:7f00:1::1", OUTCOME_REJECT, nullptr,
         "tun2raw: reject IPv4 destination (2001:db8:c000:201::10 2001:db8:7f00:1::1)\n"},
        {me, "2001:db8:ffff:ffff::1", OUTCOME_REJECT, nullptr,
         "tun2raw: reject IPv4 destination (2001:db8:c000:201::10 2001:db8:ffff:ffff::1)\n"},
        {me, "2001:db8:e000:1::1", OUTCOME_REJECT, nullptr,
         "tun2raw: reject IPv4 destination (2001:db8:c000:201::10 2001:db8:e000:1::1)\n"},
        // one bit outside the 6rd prefix: native, to the relay
        {me, "2001:db9:c633:6407::1", OUTCOME_FORWARD, "203.0.113.1", ""},
        {me, "ff0e::1", OUTCOME_FORWARD, "203.0.113.1", ""},
        {me, "ff02::1", OUTCOME_REJECT, nullptr,
         "tun2raw: reject IPv6 destination (2001:db8:c000:201::10 ff02::1)\n"},
        {me, "::1", OUTCOME_REJECT, nullptr,
         "tun2raw: reject IPv6 destination (2001:db8:c000:201::10 ::1)\n"},
        {me, "febf::1", OUTCOME_REJECT, nullptr,
         "tun2raw: reject IPv6 destination (2001:db8:c000:201::10 febf::1)\n"},
    });
}

TEST(Tun2rawDecide, WithEightCommonBitsTheDelegatedPrefixIsA56)
{
    check_routes(8, {
        // the first 8 bits of the peer's address come from the own address
        {"2001:db8:2:101::10", "2001:db8:3364:700::1", OUTCOME_FORWARD, "192.51.100.7", ""},
        {"2001:db8:2:1ff::10", "3fff::1", OUTCOME_FORWARD, "203.0.113.1", ""},
        {me, "2001:db8:3364:700::1", OUTCOME_REJECT, nullptr,
         "tun2raw: source is not me (2001:db8:c000:201::10 2001:db8:3364:700::1)\n"},
        {"2001:db8:2:200::10", "3fff::1", OUTCOME_REJECT, nullptr,
         "tun2raw: source is not me (2001:db8:2:200::10 3fff::1)\n"},
        // 192.168.1.1 once the common bits are put in front
        {"2001:db8:2:101::10", "2001:db8:a801:100::1", OUTCOME_REJECT, nullptr,
         "tun2raw: reject IPv4 destination (2001:db8:2:101::10 2001:db8:a801:100::1)\n"},
    });
}

TEST(Tun2rawDecide, OuterHeaderCarriesTrafficClassAndLength)
{
    struct Case {
        uint8_t traffic_class;
        size_t length;
    };
    const Case cases[] = {
        {0x00, 40}, {0xB8, 64}, {0xFF, 64}, {0x01, 100}, {0x10, 100}, {0x2E, 1280}, {0xB8, 2023},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("traffic class " + std::to_string(c.traffic_class) + ", length " +
                     std::to_string(c.length));
        TestTunnel tunnel;
        tunnel.fill(0x5C);
        const std::vector<uint8_t> packet = ipv6_packet(me, peer, c.length, 17, c.traffic_class);
        const Decision d = decide(tunnel, tun_frame(packet));
        ASSERT_EQ(d.outcome, OUTCOME_FORWARD);
        EXPECT_EQ(d.length, c.length);
        EXPECT_EQ(d.trace, "");
        expect_outer_header(tunnel, packet, "198.51.100.7", c.traffic_class);
        // Nothing in front of the outer header, nothing after the packet.
        EXPECT_EQ(hex_of(tunnel.bytes(0, header_offset)), "5c 5c 5c 5c ");
        if (packet_offset + c.length < tunnel.ctx.buffer_size) {
            EXPECT_EQ(tunnel.ctx.buffer[packet_offset + c.length], 0x5C);
        }
    }
    // A 1280-byte packet leaves as a 1300-byte datagram.
    TestTunnel tunnel;
    ASSERT_EQ(decide(tunnel, tun_frame(ipv6_packet(me, peer, 1280))).outcome, OUTCOME_FORWARD);
    EXPECT_EQ(tunnel.ctx.buffer[header_offset + 2] << 8 | tunnel.ctx.buffer[header_offset + 3], 1300);
}

struct SizeCase {
    std::vector<uint8_t> frame;
    size_t n;  // what the read reported
    path_outcome outcome;
    std::string trace;  // at debug level 1
};

std::vector<SizeCase> size_cases()
{
    const std::vector<uint8_t> biggest = tun_frame(ipv6_packet(me, peer, 2023));
    const std::vector<uint8_t> too_big = tun_frame(ipv6_packet(me, peer, 2024));
    const std::vector<uint8_t> bare = tun_frame(ipv6_packet(me, peer, 40));
    const std::vector<uint8_t> short_by_one = tun_frame(ipv6_packet(me, peer, 39));
    return {
        // the read filled the room: the packet may have been cut
        {too_big, 2028, OUTCOME_ERROR, "tun2raw: packet too big\n"},
        // Linux reports the whole length of a packet it cut
        {too_big, 3000, OUTCOME_ERROR, "tun2raw: packet too big\n"},
        {biggest, 2027, OUTCOME_FORWARD, ""},
        {bare, 44, OUTCOME_FORWARD, ""},
        {short_by_one, 43, OUTCOME_ERROR, "tun2raw: no IPv6 header (39)\n"},
        {{0x00, 0x00, 0x00, 0x1C}, 4, OUTCOME_ERROR, "tun2raw: no IPv6 header (0)\n"},
        {{0x00, 0x00, 0x00}, 3, OUTCOME_ERROR, "tun: no address family\n"},
        {{}, 0, OUTCOME_ERROR, "tun: no address family\n"},
        {{0x00, 0x00, 0x00, 0x02, 0x45, 0x00, 0x00, 0x14}, 8, OUTCOME_ERROR,
         "tun: non-IPv6 packet (2)\n"},
        {{0x1C, 0x00, 0x00, 0x00, 0x60}, 5, OUTCOME_ERROR, "tun: non-IPv6 packet (469762048)\n"},
    };
}

TEST(Tun2rawDecide, RefusesFramesTooBigOrTooShort)
{
    for (const SizeCase& c : size_cases()) {
        SCOPED_TRACE("read of " + std::to_string(c.n) + " bytes");
        TestTunnel tunnel;
        const Decision d = decide(tunnel, c.frame, 1, c.n);
        EXPECT_EQ(outcome_name(d.outcome), std::string(outcome_name(c.outcome)));
        EXPECT_EQ(d.trace, c.trace);
        if (c.outcome == OUTCOME_FORWARD) {
            EXPECT_EQ(d.length, c.n - 4);
            expect_outer_header(tunnel, std::vector<uint8_t>(c.frame.begin() + 4, c.frame.end()),
                                "198.51.100.7", 0x00);
        }
    }
}

TEST(Tun2rawDecide, DumpsTheFrameAsReadAtLevelTwo)
{
    for (const SizeCase& c : size_cases()) {
        SCOPED_TRACE("read of " + std::to_string(c.n) + " bytes");
        TestTunnel tunnel;
        const Decision d = decide(tunnel, c.frame, 2, c.n);
        // The size test comes first: what is too big is not dumped.
        const std::string dump =
            c.n >= 2028 ? "" : "tun2raw:\n" + dump_text(tunnel.ctx.buffer + read_offset, c.frame);
        EXPECT_EQ(d.trace, dump + c.trace);
    }
    // A refusal: the dump, then the line.
    TestTunnel tunnel;
    const std::vector<uint8_t> frame = tun_frame(ipv6_packet(me, "fe80::1", 48));
    const Decision d = decide(tunnel, frame, 2);
    EXPECT_EQ(d.trace, "tun2raw:\n" + dump_text(tunnel.ctx.buffer + read_offset, frame) +
                           "tun2raw: reject IPv6 destination (2001:db8:c000:201::10 fe80::1)\n");
}

TEST(Tun2rawDecide, SameOutcomesWithoutOutputAtLevelZero)
{
    std::vector<SizeCase> cases = size_cases();
    cases.push_back({tun_frame(ipv6_packet("2001:db8:c000:202::10", peer)), 68, OUTCOME_REJECT, ""});
    cases.push_back({tun_frame(ipv6_packet(me, "2001:db8:a00:1::1")), 68, OUTCOME_REJECT, ""});
    cases.push_back({tun_frame(ipv6_packet(me, "fe80::1")), 68, OUTCOME_REJECT, ""});
    for (const SizeCase& c : cases) {
        SCOPED_TRACE("read of " + std::to_string(c.n) + " bytes");
        TestTunnel tunnel;
        const Decision d = decide(tunnel, c.frame, 0, c.n);
        EXPECT_EQ(outcome_name(d.outcome), std::string(outcome_name(c.outcome)));
        EXPECT_EQ(d.trace, "");
    }
}

TEST(Tun2rawDecide, IgnoresBufferBytesOutsideTheFrame)
{
    std::vector<SizeCase> cases = size_cases();
    for (const char* destination : {peer, "3fff::1", "2001:db8:a00:1::1", "fe80::1"})
        cases.push_back({tun_frame(ipv6_packet(me, destination)), 68, OUTCOME_FORWARD, ""});
    cases.push_back({tun_frame(ipv6_packet("2001:db8:c000:202::10", peer)), 68, OUTCOME_REJECT, ""});

    for (const SizeCase& c : cases) {
        if (c.n > c.frame.size())
            continue;  // nothing but the size is looked at
        SCOPED_TRACE("read of " + std::to_string(c.n) + " bytes");
        // One context for both runs, so that the dump addresses agree.
        TestTunnel tunnel;
        Decision results[2];
        std::vector<uint8_t> left[2];
        const uint8_t fills[2] = {0x00, 0xFF};
        for (int i = 0; i < 2; ++i) {
            tunnel.fill(fills[i]);
            results[i] = decide(tunnel, c.frame, 2, c.n);
            // A forwarded frame gets its outer header from offset 4 on;
            // otherwise nothing is written at all.
            const size_t first = results[i].outcome == OUTCOME_FORWARD ? header_offset : read_offset;
            const size_t end = read_offset + c.n;
            left[i] = tunnel.bytes(first, end - first);
            for (size_t at = 0; at < tunnel.ctx.buffer_size; ++at) {
                if (at < first || at >= end) {
                    ASSERT_EQ(tunnel.ctx.buffer[at], fills[i]) << "byte " << at << " written";
                }
            }
        }
        EXPECT_EQ(results[0].outcome, results[1].outcome);
        EXPECT_EQ(results[0].length, results[1].length);
        EXPECT_EQ(std::memcmp(&results[0].target, &results[1].target, sizeof(sockaddr_in)), 0);
        EXPECT_TRUE(left[0] == left[1]) << "the bytes left differ";
        // The dumps differ if bytes outside the frame were dumped.
        EXPECT_TRUE(results[0].trace == results[1].trace)
            << results[0].trace.substr(0, 300) << "\nvs\n" << results[1].trace.substr(0, 300);
    }
}

// The whole outbound path: the frame waits on the tunnel device, and what
// was sent on the raw socket is returned.
PathRun run_tun2raw(TestTunnel& tunnel, const std::vector<uint8_t>& frame, int level,
                    bool device_works = true, bool socket_works = true)
{
    reset_failure_log();
    return test::run_path(tunnel, tun2raw, frame, level, tunnel.ctx.tun_fd, device_works,
                          tunnel.ctx.raw_fd, socket_works);
}

TEST(Tun2raw, SendsCountsAndTracesEachOutcome)
{
    struct Case {
        int common_len;
        std::vector<uint8_t> packet;
        uint8_t tos;         // the packet's traffic class
        const char* target;  // of a packet sent
        std::string line;    // at debug level 1
        Counters counters;
    };
    const Case cases[] = {
        {0, ipv6_packet(me, peer, 64, 58), 0x00, "198.51.100.7",
         "out 2001:db8:c000:201::10 2001:db8:c633:6407::1 n=58 s=64\n", {0, 0, 0, 0, 1, 0, 0, 64}},
        {0, ipv6_packet(me, "3fff::1", 1280, 6, 0xB8), 0xB8, "203.0.113.1",
         "out 2001:db8:c000:201::10 3fff::1 n=6 s=1280\n", {0, 0, 0, 0, 1, 0, 0, 1280}},
        {8, ipv6_packet("2001:db8:2:101::10", "2001:db8:3364:700::1", 80, 17), 0x00, "192.51.100.7",
         "out 2001:db8:2:101::10 2001:db8:3364:700::1 n=17 s=80\n", {0, 0, 0, 0, 1, 0, 0, 80}},
        {0, ipv6_packet(me, "2001:db8:a00:1::1"), 0x00, nullptr,
         "tun2raw: reject IPv4 destination (2001:db8:c000:201::10 2001:db8:a00:1::1)\n",
         {0, 0, 0, 0, 0, 0, 1, 0}},
        {0, ipv6_packet(me, peer, 39), 0x00, nullptr, "tun2raw: no IPv6 header (39)\n",
         {0, 0, 0, 0, 0, 1, 0, 0}},
        // cut to the room by the read
        {0, ipv6_packet(me, peer, 2100), 0x00, nullptr, "tun2raw: packet too big\n",
         {0, 0, 0, 0, 0, 1, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        for (int level : {0, 1}) {
            TestTunnel tunnel(c.common_len);
            const PathRun run = run_tun2raw(tunnel, device_frame(c.packet), level);
            EXPECT_EQ(run.output, level == 0 ? "" : c.line) << "level " << level;
            EXPECT_EQ(run.counters, c.counters);
            if (c.target != nullptr) {
                // The outer header and the packet: L + 20 bytes from buffer offset 4.
                const size_t sent_len = c.packet.size() + 20;
                EXPECT_EQ(run.written.size(), sent_len);
                EXPECT_EQ(hex_of(run.written), hex_of(tunnel.bytes(header_offset, sent_len)));
                expect_outer_header(tunnel, c.packet, c.target, c.tos);
            } else {
                EXPECT_TRUE(run.written.empty()) << "sent " << run.written.size() << " bytes";
            }
        }
    }
}

TEST(Tun2raw, LogsFailedReadAndSendAsErrorsAndEndsOnlyAtEndOfFile)
{
    {
        TestTunnel tunnel;
        const PathRun run = run_tun2raw(tunnel, device_frame(ipv6_packet(me, peer)), 1, false, true);
        EXPECT_EQ(run.output, test::logged("read: tun: Bad file descriptor"));
        EXPECT_EQ(run.counters, (Counters{0, 0, 0, 0, 0, 1, 0, 0}));
        EXPECT_EQ(run.result, 0);
    }
    {
        // A read of nothing: the device has no more to give.
        TestTunnel tunnel;
        const PathRun run = run_tun2raw(tunnel, {}, 1);
        EXPECT_EQ(run.output, test::logged("read: tun: end of file"));
        EXPECT_EQ(run.counters, (Counters{0, 0, 0, 0, 0, 1, 0, 0}));
        EXPECT_EQ(run.result, -1);
    }
    for (int level : {0, 1}) {
        TestTunnel tunnel;
        const PathRun run =
            run_tun2raw(tunnel, device_frame(ipv6_packet(me, peer)), level, true, false);
        // Logged whatever the level, and no "out" line.
        EXPECT_EQ(run.output, test::logged("sendto: raw: Bad file descriptor")) << "level " << level;
        EXPECT_EQ(run.counters, (Counters{0, 0, 0, 0, 0, 1, 0, 0}));
        EXPECT_EQ(run.result, 0);
    }
}

TEST(Tun2raw, CountersAddUpOverSeveralPackets)
{
    TestTunnel tunnel;
    run_tun2raw(tunnel, device_frame(ipv6_packet(me, peer, 100)), 0);
    run_tun2raw(tunnel, device_frame(ipv6_packet(me, "3fff::1", 60)), 0);
    run_tun2raw(tunnel, device_frame(ipv6_packet(me, "fe80::1", 60)), 0);
    run_tun2raw(tunnel, device_frame(ipv6_packet(me, "3fff::1", 20)), 0);
    const PathRun run = run_tun2raw(tunnel, device_frame(ipv6_packet(me, peer, 40)), 0);
    EXPECT_EQ(run.counters, (Counters{0, 0, 0, 0, 3, 1, 1, 200}));
}

}  // namespace
