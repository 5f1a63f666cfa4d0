// SPDX-License-Identifier: BSD-2-Clause
// A super-packet from the tunnel device, as its offload header describes
// it: cut into segments (plan_tcp_split, write_tcp_segment) and a partial
// checksum completed (complete_checksum). Held to the word-by-word model of
// tcp_model.h.
//
// Input: 0-1 segment size, 2 shaping bits (bit 0: the device asks for
// segmentation, bit 1: a right TCP checksum is written over the one given,
// bit 2: the IPv6 payload length is made to agree), 3-4 checksum start,
// 5 checksum offset, then the IPv6 packet.
#include "link/tcp_offload.h"
#include "tcp_model.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace tcp_model;

namespace {

constexpr size_t setup_len = 6;

// Whether the model sees a super-packet this program cuts.
bool model_cuts(const uint8_t* p, size_t len, const offload_header& h)
{
    if (h.kind != OFFLOAD_TCP6 || h.segment_size == 0 || len < 60 || p[0] >> 4 != 6 || p[6] != 6)
        return false;
    const size_t tcp = 4u * (p[52] >> 4);
    return tcp >= 20 && 40 + tcp <= len && len - 40 - tcp > h.segment_size;
}

void check_segments(const uint8_t* super, size_t len, const offload_header& h)
{
    tcp_split split;
    const bool cut = plan_tcp_split(super, len, h, &split);
    FUZZ_CHECK(cut == model_cuts(super, len, h));
    if (!cut)
        return;
    const size_t headers = 40 + 4u * (super[52] >> 4);
    const size_t payload = len - headers;
    FUZZ_CHECK(split.header_len == headers && split.payload_len == payload);
    FUZZ_CHECK(split.count == (payload + h.segment_size - 1) / h.segment_size);
    size_t offset = 0;
    for (size_t i = 0; i < split.count; ++i) {
        const size_t size = tcp_segment_len(split, i);
        uint8_t* out = block(size);
        FUZZ_CHECK(write_tcp_segment(super, split, i, out) == size);
        const size_t piece = size - headers;
        FUZZ_CHECK(piece >= 1 && piece <= h.segment_size);
        FUZZ_CHECK(i + 1 == split.count || piece == h.segment_size);
        // The headers of the whole but for payload length, sequence number,
        // flags and checksum; the payload the next piece of the whole.
        FUZZ_CHECK(std::memcmp(out, super, 4) == 0 && std::memcmp(out + 6, super + 6, 38) == 0);
        FUZZ_CHECK(std::memcmp(out + 48, super + 48, 5) == 0);
        FUZZ_CHECK(std::memcmp(out + 54, super + 54, 2) == 0);
        FUZZ_CHECK(std::memcmp(out + 58, super + 58, headers - 58) == 0);
        FUZZ_CHECK(std::memcmp(out + headers, super + headers + offset, piece) == 0);
        FUZZ_CHECK(be16(out + 4) == size - 40);
        FUZZ_CHECK(be32(out + 44) == static_cast<uint32_t>(be32(super + 44) + offset));
        uint8_t flags = super[53];
        if (i + 1 < split.count)
            flags &= 0xF6;  // FIN and PSH only on the last
        if (i > 0)
            flags &= 0x7F;  // CWR only on the first
        FUZZ_CHECK(out[53] == flags);
        FUZZ_CHECK(checksum_ok(out, size, 6));
        offset += piece;
        free(out);
    }
    FUZZ_CHECK(offset == payload);
}

void check_completion(const uint8_t* packet, size_t len, size_t start, size_t offset)
{
    uint8_t* p = copy_of(packet, len);
    const bool inside = start <= len && offset + 2 <= len - start && offset % 2 == 0;
    FUZZ_CHECK(complete_checksum(p, len, start, offset) == inside);
    if (!inside) {
        FUZZ_CHECK(std::memcmp(p, packet, len) == 0);
        free(p);
        return;
    }
    // The range summed with the partial value that was there, and the
    // result, make ones' complement zero; the result is never 0; nothing
    // else changed.
    const size_t at = start + offset;
    const uint32_t partial = be16(packet + at);
    uint8_t* without = copy_of(packet, len);
    without[at] = without[at + 1] = 0;
    const uint16_t result = be16(p + at);
    FUZZ_CHECK(result != 0);
    const uint16_t total = folded(word_sum(without + start, len - start) + partial + result);
    FUZZ_CHECK(total == 0xFFFF);
    FUZZ_CHECK(std::memcmp(p, packet, at) == 0 && std::memcmp(p + at + 2, packet + at + 2,
                                                             len - at - 2) == 0);
    free(without);
    free(p);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < setup_len)
        return 0;
    offload_header h{};
    h.segment_size = be16(data);
    h.kind = data[2] & 1 ? OFFLOAD_TCP6 : OFFLOAD_NONE;
    h.needs_checksum = true;
    h.checksum_start = be16(data + 3);
    h.checksum_offset = data[5];
    const size_t len = size - setup_len;
    uint8_t* packet = copy_of(data + setup_len, len);
    if (data[2] & 4 && len >= 40)
        put16(packet + 4, len - 40);
    if (data[2] & 2 && len >= 60)
        set_checksum(packet, len);
    check_segments(packet, len, h);
    check_completion(packet, len, h.checksum_start, h.checksum_offset);
    free(packet);
    return 0;
}
