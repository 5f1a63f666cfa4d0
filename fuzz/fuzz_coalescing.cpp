// SPDX-License-Identifier: BSD-2-Clause
// A run of inbound TCP segments, offered one after the other as the fast
// path offers accepted datagrams (tcp_run_start, tcp_run_join), and each run
// written as one packet (tcp_run_seal) once the next segment does not join.
// Checked: every member's checksum was right (the model's, word by word);
// the whole, its checksum completed as the device completes it, is right;
// cut again as the device cuts it, it gives back every member byte for byte
// but the checksum; and unsealing puts the first member back as received.
//
// Input: 0 shaping bits (bit 0: right checksums, bit 1: followers take the
// first segment's headers, bit 2: followers continue its sequence), 1-2 the
// first segment's length, the first segment; then per follower 1-2 its
// payload length, 3 a header byte to change and 4 its new value (applied
// before the checksum), and its payload (or, without bit 1, its whole
// packet).
#include "link/tcp_offload.h"
#include "tcp_model.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace tcp_model;

namespace {

constexpr int max_members = 64;  // the largest batch

struct Member {
    uint8_t* packet;
    uint8_t* received;  // a copy as it came
    size_t len;
};

struct Input {
    const uint8_t* at;
    size_t left;
    size_t take(size_t n)
    {
        n = n < left ? n : left;
        at += n;
        left -= n;
        return n;
    }
};

void check_run(tcp_run& run, const Member* members, int count)
{
    const size_t headers = run.header_len;
    FUZZ_CHECK(count == run.count);
    size_t total = 0;
    for (int m = 0; m < count; ++m) {
        FUZZ_CHECK(checksum_ok(members[m].received, members[m].len, 6));
        total += members[m].len - headers;
    }
    FUZZ_CHECK(total == run.payload_total && headers - 40 + total <= 65535);

    offload_header h;
    tcp_run_seal(&run, &h);
    FUZZ_CHECK(h.kind == OFFLOAD_TCP6 && h.needs_checksum && h.header_len == headers &&
               h.segment_size == members[0].len - headers && h.checksum_start == 40 &&
               h.checksum_offset == 16);
    const size_t whole_len = headers + total;
    uint8_t* whole = block(whole_len);
    std::memcpy(whole, members[0].packet, members[0].len);
    size_t at = members[0].len;
    for (int m = 1; m < count; ++m) {
        std::memcpy(whole + at, members[m].packet + headers, members[m].len - headers);
        at += members[m].len - headers;
    }
    FUZZ_CHECK(be16(whole + 4) == whole_len - 40);
    FUZZ_CHECK(complete_checksum(whole, whole_len, 40, 16));
    FUZZ_CHECK(checksum_ok(whole, whole_len, 6));

    tcp_split split;
    FUZZ_CHECK(plan_tcp_split(whole, whole_len, h, &split));
    FUZZ_CHECK(split.count == static_cast<size_t>(count));
    for (int m = 0; m < count; ++m) {
        const size_t len = tcp_segment_len(split, static_cast<size_t>(m));
        FUZZ_CHECK(len == members[m].len);
        uint8_t* again = block(len);
        write_tcp_segment(whole, split, static_cast<size_t>(m), again);
        FUZZ_CHECK(std::memcmp(again, members[m].received, 56) == 0);
        FUZZ_CHECK(std::memcmp(again + 58, members[m].received + 58, len - 58) == 0);
        free(again);
    }
    free(whole);
    tcp_run_unseal(&run);
    FUZZ_CHECK(std::memcmp(members[0].packet, members[0].received, members[0].len) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    const uint8_t shape = data[0];
    Input in{data + 3, size - 3};
    const size_t first_len = in.take(be16(data + 1));
    const uint8_t* first = data + 3;

    Member members[max_members];
    Member all[4 * max_members];
    int count = 0, made = 0;
    tcp_run run{};
    uint32_t sequence = first_len >= 48 ? be32(first + 44) : 0;
    for (int offered = 0; offered < 4 * max_members; ++offered) {
        uint8_t* packet;
        size_t len;
        if (offered == 0) {
            len = first_len;
            packet = copy_of(first, len);
        } else {
            if (in.left < 4)
                break;
            const size_t wanted = be16(in.at);
            const uint8_t byte = in.at[2], value = in.at[3];
            in.take(4);
            const uint8_t* given = in.at;
            const size_t got = in.take(wanted);
            if (shape & 2 && first_len >= 60) {
                const size_t headers = 40 + 4u * (first[52] >> 4);
                const size_t own = headers < first_len ? headers : first_len;
                len = own + got;
                packet = block(len);
                std::memcpy(packet, first, own);
                std::memcpy(packet + own, given, got);
                if (len >= 40)
                    put16(packet + 4, len - 40);
                if (shape & 4 && len >= 48)
                    put32(packet + 44, sequence);
            } else {
                len = got;
                packet = copy_of(given, len);
            }
            if (byte < len)
                packet[byte] = value;
        }
        if (shape & 1 && len >= 60)
            set_checksum(packet, len);
        if (len >= 60)
            sequence = be32(packet + 44) + static_cast<uint32_t>(len - 40 - 4u * (packet[52] >> 4));
        Member member{packet, copy_of(packet, len), len};
        all[made++] = member;

        const int before = run.count;
        const size_t before_total = run.payload_total;
        if (count > 0 && count < max_members && tcp_run_join(&run, packet, len)) {
            members[count++] = member;
            continue;
        }
        FUZZ_CHECK(run.count == before && run.payload_total == before_total);
        if (count > 1)
            check_run(run, members, count);
        count = 0;
        if (tcp_run_start(&run, packet, len))
            members[count++] = member;
        else
            run.count = 0;
    }
    if (count > 1)
        check_run(run, members, count);
    for (int i = 0; i < made; ++i) {
        free(all[i].packet);
        free(all[i].received);
    }
    return 0;
}
