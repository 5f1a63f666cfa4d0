// Arbitrary datagrams from the raw socket through the inbound decision,
// under a 6rd domain chosen by the first bytes of the input.
//
// Input: 32 bytes of set-up, then the datagram, IPv4 header first.
//   0      6rd prefix length selector (16 to 63)
//   1      common IPv4 length selector (0 to 31, delegated length <= 64)
//   2      shaping: bit 0 header length 20, bit 1 IPv4 source = relay,
//          bit 2 IPv6 source inside the 6rd prefix embedding the IPv4
//          source, bit 3 destination inside the delegated prefix, bit 4 the
//          IPv4 source shares the domain's common bits, bit 5 (without bit
//          2) the IPv6 source starts with bytes 28 and 29
//   3      bits 0-2 length mode (below), bits 3-7 debug level (28 to 30
//          trace lines, 31 hex dumps too)
//   4..19  6rd prefix, every bit from the input
//   20..23 own IPv4 address, 24..27 relay, 28..29 first bytes of a native
//          source
//
// Every decision is compared with the bit-by-bit model of reference.h. The
// buffer behind the datagram is poisoned, so reading or writing beyond the n
// bytes received stops the run.
#include "daemon/tunnel_context.h"
#include "forward/inbound.h"
#include "mapping/prefix.h"
#include "reference.h"
#include "trace/trace.h"

#include <arpa/inet.h>
#include <sanitizer/asan_interface.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using namespace reference;

constexpr size_t setup_len = 32;

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

    uint8_t setup[setup_len] = {};
    std::memcpy(setup, data, size < setup_len ? size : setup_len);
    const uint8_t* datagram_in = data + (size < setup_len ? size : setup_len);
    const size_t datagram_len = size - (size < setup_len ? size : setup_len);

    Domain d;
    choose_lengths(d, setup[0], setup[1]);
    std::memcpy(d.prefix, setup + 4, 16);
    std::memcpy(d.own, setup + 20, 4);
    std::memcpy(d.relay, setup + 24, 4);
    const uint8_t shape = setup[2];
    const int length_mode = setup[3] & 7;
    // Trace lines now and then, hex dumps (slow) rarely.
    const int debug = setup[3] >> 3;
    DebugLevel = debug == 31 ? 2 : debug >= 28 ? 1 : 0;

    size_t stored = datagram_len < tunnel_buffer_size ? datagram_len : tunnel_buffer_size;
    std::memcpy(Datagram, datagram_in, stored);
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
        for (int i = 0; i < d.prefix_len; ++i)
            set_bit(Datagram + h + 8, i, bit(d.prefix, i));
        embed_v4(d, Datagram + h + 8, Datagram + 12);
    } else if (h >= 20 && stored >= h + 24 && (shape & 0x20)) {
        // A native source of the fuzzer's choosing, for the IPv6 rule.
        std::memcpy(Datagram + h + 8, setup + 28, 2);
    }
    if (h >= 20 && stored >= h + 40 && (shape & 0x08))
        for (int i = 0; i < delegated_len(d); ++i)
            set_bit(Datagram + h + 24, i, delegated_bit(d, i));

    size_t n = datagram_len;
    switch (length_mode) {
    case 4:  // the largest datagram handled
    case 5:  // one that filled the buffer
        n = length_mode == 4 ? tunnel_buffer_size - 1 : tunnel_buffer_size;
        if (stored < n)
            std::memset(Datagram + stored, 0, n - stored);
        stored = n;
        break;
    case 6:
    case 7:  // a count larger than the buffer
        if (stored < tunnel_buffer_size)
            std::memset(Datagram + stored, 0, tunnel_buffer_size - stored);
        stored = tunnel_buffer_size;
        n = length_mode == 6 ? tunnel_buffer_size + setup[3] : SIZE_MAX - setup[3];
        break;
    default:
        break;
    }

    TunnelContext ctx{};
    ctx.buffer = Buffer;
    ctx.buffer_size = tunnel_buffer_size;
    std::memcpy(&ctx.prefix, d.prefix, 16);
    ctx.prefix_len = d.prefix_len;
    std::memcpy(&ctx.my_v4_addr, d.own, 4);
    ctx.v4_common_len = d.common_len;
    ctx.relay_addr.sin_family = AF_INET;
    std::memcpy(&ctx.relay_addr.sin_addr, d.relay, 4);
    ctx.tun_fd = -1;
    ctx.raw_fd = -1;
    embed_v4_suffix(&ctx.prefix, ctx.prefix_len, &ctx.my_v4_addr, ctx.v4_common_len);
    const TunnelContext before = ctx;

    ASAN_UNPOISON_MEMORY_REGION(Buffer, tunnel_buffer_size);
    std::memcpy(Buffer, Datagram, stored);
    ASAN_POISON_MEMORY_REGION(Buffer + stored, tunnel_buffer_size - stored);

    size_t expected_h = 0;
    const path_outcome expected = expect(d, n, &expected_h);
    size_t header_len = 0xdeadbeef;
    const path_outcome outcome = raw2tun_decide(ctx, n, &header_len);
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
