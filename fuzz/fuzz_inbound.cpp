// SPDX-License-Identifier: BSD-2-Clause
// Arbitrary datagrams from the raw socket through the inbound decision,
// under a 6rd domain chosen by the first bytes of the input.
//
// Input: 32 bytes of set-up (packet_input.h), then the datagram, IPv4
// header first. Of the set-up, this target's own:
//   2      shaping: bit 0 header length 20, bit 1 IPv4 source = relay,
//          bit 2 IPv6 source inside the 6rd prefix embedding the IPv4
//          source, bit 3 destination inside the delegated prefix, bit 4 the
//          IPv4 source shares the domain's common bits, bit 5 (without bit
//          2) the IPv6 source starts with bytes 28 and 29
//   28..29 first bytes of a native source
//
// Every decision is compared with the bit-by-bit model of reference.h. The
// buffer behind the datagram is poisoned, so reading or writing beyond the n
// bytes received stops the run.
#include "daemon/tunnel_context.h"
#include "forward/inbound.h"
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

uint8_t* Buffer;  // heap block of exactly tunnel_buffer_size bytes
uint8_t Datagram[tunnel_buffer_size];

path_outcome expect(const Domain& d, size_t n, size_t* header_len)
{
    if (n >= tunnel_buffer_size || n < 20)
        return OUTCOME_ERROR;
    const size_t h = 4u * (Datagram[0] & 0x0f);
    if (h < 20 || n < h || n - h < 40)
        return OUTCOME_ERROR;
    *header_len = h;
    const uint8_t* v4_source = Datagram + 12;
    const uint8_t* source = Datagram + h + 8;
    const uint8_t* destination = Datagram + h + 24;
    if (!inside_6rd_prefix(d, source)) {
        // Native IPv6: only through the relay, and never a refused address.
        if (std::memcmp(v4_source, d.relay, 4) != 0 || v6_refused(source))
            return OUTCOME_REJECT;
    } else {
        // Another site: only from the IPv4 address its IPv6 source embeds.
        uint8_t embedded[4];
        embedded_v4(d, source, embedded);
        if (std::memcmp(embedded, v4_source, 4) != 0 || v4_refused(embedded))
            return OUTCOME_REJECT;
    }
    return inside_delegated_prefix(d, destination) ? OUTCOME_FORWARD : OUTCOME_REJECT;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (Buffer == nullptr)
        Buffer = static_cast<uint8_t*>(malloc(tunnel_buffer_size));

    const PacketInput in = read_packet_input(data, size);
    const Domain& d = in.domain;
    const uint8_t shape = in.shape;
    DebugLevel = in.debug_level;

    size_t stored = in.packet_len < tunnel_buffer_size ? in.packet_len : tunnel_buffer_size;
    std::memcpy(Datagram, in.packet, stored);
    if ((shape & 0x01) && stored >= 1)
        Datagram[0] = static_cast<uint8_t>((Datagram[0] & 0xf0) | 5);
    const size_t h = stored >= 1 ? 4u * (Datagram[0] & 0x0f) : 0;
    if (stored >= 16) {
        if (shape & 0x02)
            std::memcpy(Datagram + 12, d.relay, 4);
        if (shape & 0x10)
            for (int j = 0; j < d.common_len; ++j)
                set_bit(Datagram + 12, j, bit(d.own, j));
    }
    if (h >= 20 && stored >= h + 24 && (shape & 0x04)) {
        put_6rd_prefix(d, Datagram + h + 8);
        embed_v4(d, Datagram + h + 8, Datagram + 12);
    } else if (h >= 20 && stored >= h + 24 && (shape & 0x20)) {
        // A native source of the fuzzer's choosing, for the IPv6 rule.
        std::memcpy(Datagram + h + 8, in.setup + 28, 2);
    }
    if (h >= 20 && stored >= h + 40 && (shape & 0x08))
        put_delegated_prefix(d, Datagram + h + 24);

    // Counts at and around the buffer's size: a datagram that fills the
    // buffer may have been cut and is never delivered.
    const size_t n = reported_count(in, Datagram, stored, tunnel_buffer_size);

    TunnelContext ctx = context_for(d, Buffer);
    const TunnelContext before = ctx;

    ASAN_UNPOISON_MEMORY_REGION(Buffer, tunnel_buffer_size);
    std::memcpy(Buffer, Datagram, stored);
    ASAN_POISON_MEMORY_REGION(Buffer + stored, tunnel_buffer_size - stored);

    size_t expected_h = 0;
    const path_outcome expected = expect(d, n, &expected_h);
    size_t header_len = 0xdeadbeef;
    const path_outcome outcome = raw2tun_decide(ctx, ctx.buffer, n, &header_len);
    FUZZ_CHECK(outcome == OUTCOME_FORWARD || outcome == OUTCOME_REJECT || outcome == OUTCOME_ERROR);
    FUZZ_CHECK(outcome == expected);
    FUZZ_CHECK(std::memcmp(&ctx, &before, sizeof ctx) == 0);

    if (outcome == OUTCOME_FORWARD) {
        FUZZ_CHECK(header_len == expected_h);
        const uint8_t* v4_source = Datagram + 12;
        const uint8_t* source = Datagram + header_len + 8;
        // The rules once more, as a delivered packet must satisfy them.
        if (inside_6rd_prefix(d, source)) {
            uint8_t embedded[4];
            embedded_v4(d, source, embedded);
            FUZZ_CHECK(std::memcmp(embedded, v4_source, 4) == 0 && !v4_refused(embedded));
        } else {
            FUZZ_CHECK(std::memcmp(v4_source, d.relay, 4) == 0 && !v6_refused(source));
        }
        FUZZ_CHECK(inside_delegated_prefix(d, Datagram + header_len + 24));
        // The frame for the device: 00 00 00 1c at H - 4, then the packet
        // unchanged; nothing else in the buffer moved.
        const uint8_t inet6[4] = {0, 0, 0, 28};
        FUZZ_CHECK(std::memcmp(Buffer + header_len - 4, inet6, 4) == 0);
        FUZZ_CHECK(std::memcmp(Buffer, Datagram, header_len - 4) == 0);
        FUZZ_CHECK(std::memcmp(Buffer + header_len, Datagram + header_len, n - header_len) == 0);
    } else {
        FUZZ_CHECK(std::memcmp(Buffer, Datagram, stored) == 0);
    }
    ASAN_UNPOISON_MEMORY_REGION(Buffer, tunnel_buffer_size);
    return 0;
}
