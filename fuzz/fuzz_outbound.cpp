// SPDX-License-Identifier: BSD-2-Clause
// Arbitrary frames from the tunnel device through the outbound decision,
// under a 6rd domain chosen by the first bytes of the input.
//
// Input: 32 bytes of set-up (packet_input.h), then the frame as the device
// would hand it over. Of the set-up, this target's own:
//   2      shaping: bit 0 source inside the delegated prefix, bit 1
//          destination inside the 6rd prefix, bit 2 that destination embeds
//          bytes 28..31, bit 3 destination inside the own delegated prefix,
//          bit 4 IPv6 frame header, bit 5 (without bit 1) destination
//          starting with bytes 28 and 29
//   28..31 a peer site's address
//
// Every decision is compared with the bit-by-bit model of reference.h. The
// bytes behind the frame are poisoned, so reading or writing them stops the
// run; the 20 bytes in front of it are filled with two different canaries in
// two runs whose results must agree, so nothing may depend on them.
#include "daemon/tunnel_context.h"
#include "forward/outbound.h"
#include "packet_input.h"
#include "reference.h"
#include "trace/trace.h"

#include <arpa/inet.h>
#include <sanitizer/asan_interface.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using namespace packet_input;
using namespace reference;

constexpr size_t room = tunnel_buffer_size - outbound_read_offset;
constexpr size_t packet_at = outbound_read_offset + 4;  // IPv6 packet in the buffer
constexpr size_t header_at = packet_at - 20;            // outer IPv4 header

struct Run {
    path_outcome outcome;
    sockaddr_in target;
    size_t length;
};

uint8_t* Buffer;  // heap block of exactly tunnel_buffer_size bytes
uint8_t Frame[tunnel_buffer_size];
uint8_t First[tunnel_buffer_size];

// The expected outcome and, when forwarded, the IPv4 destination.
path_outcome expect(const Domain& d, const sockaddr_in& relay, size_t n, size_t stored,
                    uint8_t destination_v4[4])
{
    if (n >= room || n != stored)
        return OUTCOME_ERROR;
    if (n < 4 || load_be32(Frame) != 28)
        return OUTCOME_ERROR;
    if (n - 4 < 40)
        return OUTCOME_ERROR;
    const uint8_t* packet = Frame + 4;
    if (!inside_delegated_prefix(d, packet + 8))
        return OUTCOME_REJECT;
    if (inside_6rd_prefix(d, packet + 24)) {
        embedded_v4(d, packet + 24, destination_v4);
        return v4_refused(destination_v4) ? OUTCOME_REJECT : OUTCOME_FORWARD;
    }
    std::memcpy(destination_v4, &relay.sin_addr, 4);
    return v6_refused(packet + 24) ? OUTCOME_REJECT : OUTCOME_FORWARD;
}

// The start-up derivation of the delegated prefix, checked bit by bit:
// bits P to D - 1 from the own address, every other bit as given.
BIT_LOOP void check_derivation(const Domain& d, const TunnelContext& ctx)
{
    for (int i = 0; i < 128; ++i) {
        const int expected = i < delegated_len(d) ? delegated_bit(d, i) : bit(d.prefix, i);
        FUZZ_CHECK(bit(ctx.prefix.s6_addr, i) == expected);
    }
}

Run run(const TunnelContext& ctx, size_t n, size_t stored, uint8_t canary)
{
    ASAN_UNPOISON_MEMORY_REGION(Buffer, tunnel_buffer_size);
    std::memset(Buffer, canary, outbound_read_offset);
    std::memcpy(Buffer + outbound_read_offset, Frame, stored);
    ASAN_POISON_MEMORY_REGION(Buffer + outbound_read_offset + stored, room - stored);

    Run result;
    std::memset(&result.target, canary, sizeof result.target);
    result.length = canary;
    result.outcome = tun2raw_decide(ctx, ctx.buffer, n, &result.target, &result.length);
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (Buffer == nullptr)
        Buffer = static_cast<uint8_t*>(malloc(tunnel_buffer_size));

    const PacketInput in = read_packet_input(data, size);
    const Domain& d = in.domain;
    const uint8_t* peer = in.setup + 28;
    const uint8_t shape = in.shape;
    DebugLevel = in.debug_level;

    // The frame, shaped so that the interesting branches are easy to reach.
    size_t stored = in.packet_len < room ? in.packet_len : room;
    std::memcpy(Frame, in.packet, stored);
    if ((shape & 0x10) && stored >= 4) {
        const uint8_t inet6[4] = {0, 0, 0, 28};
        std::memcpy(Frame, inet6, 4);
    }
    if ((shape & 0x01) && stored >= 4 + 24)
        put_delegated_prefix(d, Frame + 4 + 8);
    if ((shape & 0x02) && stored >= 4 + 40) {
        put_6rd_prefix(d, Frame + 4 + 24);
        if (shape & 0x04)
            embed_v4(d, Frame + 4 + 24, peer);
    } else if ((shape & 0x20) && stored >= 4 + 40) {
        // A native destination of the fuzzer's choosing, for the IPv6 rule.
        std::memcpy(Frame + 4 + 24, peer, 2);
    }
    if ((shape & 0x08) && stored >= 4 + 40)
        put_delegated_prefix(d, Frame + 4 + 24);

    // Counts at and around the room the read is given: a read that fills
    // the room, or that the kernel reports as longer, is never forwarded.
    const size_t n = reported_count(in, Frame, stored, room);

    TunnelContext ctx = context_for(d, Buffer);
    check_derivation(d, ctx);
    const TunnelContext before = ctx;

    uint8_t destination_v4[4] = {};
    const path_outcome expected = expect(d, ctx.relay_addr, n, stored, destination_v4);

    const Run a = run(ctx, n, stored, 0x00);
    FUZZ_CHECK(a.outcome == OUTCOME_FORWARD || a.outcome == OUTCOME_REJECT ||
               a.outcome == OUTCOME_ERROR);
    FUZZ_CHECK(a.outcome == expected);
    FUZZ_CHECK(std::memcmp(&ctx, &before, sizeof ctx) == 0);
    const size_t used = outbound_read_offset + stored;
    std::memcpy(First, Buffer, used);

    if (a.outcome == OUTCOME_FORWARD) {
        const size_t length = n - 4;
        const uint8_t* packet = Frame + 4;
        FUZZ_CHECK(a.length == length);
        // Only the address of the relay's socket address changes.
        sockaddr_in want = ctx.relay_addr;
        std::memcpy(&want.sin_addr, destination_v4, 4);
        FUZZ_CHECK(std::memcmp(&a.target, &want, sizeof want) == 0);

        const uint8_t* h = Buffer + header_at;
        FUZZ_CHECK(h[0] == 0x45);
        FUZZ_CHECK(h[1] == (((packet[0] & 0x0f) << 4) | (packet[1] >> 4)));
        FUZZ_CHECK(h[2] * 256u + h[3] == length + 20);
        FUZZ_CHECK(h[4] == 0 && h[5] == 0 && h[6] == 0 && h[7] == 0);
        FUZZ_CHECK(h[8] == 255 && h[9] == 41);
        FUZZ_CHECK(h[10] == 0 && h[11] == 0);
        FUZZ_CHECK(std::memcmp(h + 12, d.own, 4) == 0);
        FUZZ_CHECK(std::memcmp(h + 16, destination_v4, 4) == 0);
        // The packet itself is sent as read, and nothing in front of the
        // outer header is touched.
        FUZZ_CHECK(std::memcmp(Buffer + packet_at, packet, length) == 0);
        for (size_t i = 0; i < header_at; ++i)
            FUZZ_CHECK(Buffer[i] == 0x00);
        // A forwarded destination obeys the rules on its own terms too.
        FUZZ_CHECK(inside_delegated_prefix(d, packet + 8));
        if (inside_6rd_prefix(d, packet + 24))
            FUZZ_CHECK(!v4_refused(destination_v4));
        else
            FUZZ_CHECK(std::memcmp(destination_v4, d.relay, 4) == 0 && !v6_refused(packet + 24));
    } else {
        // A frame that is not sent leaves the buffer as it was.
        for (size_t i = 0; i < outbound_read_offset; ++i)
            FUZZ_CHECK(Buffer[i] == 0x00);
        FUZZ_CHECK(std::memcmp(Buffer + outbound_read_offset, Frame, stored) == 0);
    }

    // The same frame behind other bytes: nothing may change but the canary.
    // Trace lines at most: a dump reads the n bytes behind the canary just
    // as it did in the first run, and what it writes is not checked, so
    // dumping again only doubled the cost of an input at level 2.
    DebugLevel = in.debug_level < 1 ? in.debug_level : 1;
    const Run b = run(ctx, n, stored, 0xA5);
    FUZZ_CHECK(b.outcome == a.outcome);
    if (a.outcome == OUTCOME_FORWARD) {
        FUZZ_CHECK(b.length == a.length);
        FUZZ_CHECK(std::memcmp(&b.target, &a.target, sizeof a.target) == 0);
        FUZZ_CHECK(std::memcmp(Buffer + header_at, First + header_at, used - header_at) == 0);
        for (size_t i = 0; i < header_at; ++i)
            FUZZ_CHECK(Buffer[i] == 0xA5);
    }
    ASAN_UNPOISON_MEMORY_REGION(Buffer, tunnel_buffer_size);
    return 0;
}
