// SPDX-License-Identifier: BSD-2-Clause
#include "link/tcp_offload.h"

#include <cstring>

namespace {

constexpr size_t ipv6_len = 40;
constexpr size_t tcp_min_len = 20;
constexpr uint8_t protocol_tcp = 6;
constexpr size_t max_ipv6_payload = 65535;

// Byte offsets in the IPv6 header and in the TCP header behind it.
constexpr size_t payload_length_at = 4;
constexpr size_t next_header_at = 6;
constexpr size_t tcp_at = ipv6_len;
constexpr size_t sequence_at = tcp_at + 4;
constexpr size_t data_offset_at = tcp_at + 12;
constexpr size_t flags_at = tcp_at + 13;
constexpr size_t tcp_checksum_at = tcp_at + 16;
constexpr size_t tcp_checksum_offset = 16;

constexpr uint8_t flag_fin = 0x01;
constexpr uint8_t flag_psh = 0x08;
constexpr uint8_t flag_ack = 0x10;
constexpr uint8_t flag_cwr = 0x80;

uint16_t read16(const uint8_t* at)
{
    return static_cast<uint16_t>(at[0] << 8 | at[1]);
}

void write16(uint8_t* at, size_t value)
{
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

uint32_t read32(const uint8_t* at)
{
    return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 |
           static_cast<uint32_t>(at[2]) << 8 | at[3];
}

void write32(uint8_t* at, uint32_t value)
{
    write16(at, value >> 16);
    write16(at + 2, value & 0xFFFF);
}

// The TCP header length of a packet whose TCP header starts at 40, or 0
// when it is not TCP right there, or its header does not fit len.
size_t tcp_header_len(const uint8_t* packet, size_t len)
{
    if (len < ipv6_len + tcp_min_len || packet[0] >> 4 != 6 ||
        packet[next_header_at] != protocol_tcp)
        return 0;
    const size_t header = 4u * (packet[data_offset_at] >> 4);
    if (header < tcp_min_len || ipv6_len + header > len)
        return 0;
    return header;
}

// The checksum field's value that the device completes: the pseudo-header
// sum, folded, not complemented.
void write_partial_checksum(uint8_t* packet, size_t upper_len)
{
    const uint16_t partial = checksum_fold(ipv6_pseudo_sum(packet, static_cast<uint32_t>(upper_len),
                                                           protocol_tcp));
    std::memcpy(packet + tcp_checksum_at, &partial, sizeof partial);
}

// Only ACK, and PSH on the last, may be set on a member of a run.
bool run_flags(uint8_t flags)
{
    return (flags & ~flag_psh) == flag_ack;
}

}  // namespace

uint64_t checksum_add(uint64_t sum, const uint8_t* data, size_t len)
{
    // Ones' complement addition in 64 bits: the carry goes back in at once,
    // and the folding at the end gives the 16-bit sum.
    while (len >= 8) {
        uint64_t word;
        std::memcpy(&word, data, sizeof word);
        sum += word;
        sum += sum < word;
        data += 8;
        len -= 8;
    }
    uint64_t tail = 0;
    // The last 0 to 7 bytes, as if followed by zeros to a whole word.
    std::memcpy(&tail, data, len);
    sum += tail;
    sum += sum < tail;
    return sum;
}

uint16_t checksum_fold(uint64_t sum)
{
    sum = (sum & 0xFFFFFFFF) + (sum >> 32);
    sum = (sum & 0xFFFFFFFF) + (sum >> 32);
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

uint64_t ipv6_pseudo_sum(const uint8_t* packet, uint32_t upper_len, uint8_t protocol)
{
    // Source and destination, then the length and the protocol as two
    // big-endian 32-bit words.
    uint8_t words[8] = {};
    write32(words, upper_len);
    words[7] = protocol;
    return checksum_add(checksum_add(0, packet + 8, 32), words, sizeof words);
}

bool complete_checksum(uint8_t* packet, size_t len, size_t start, size_t offset)
{
    // An odd offset would put the result across two words of the sum.
    if (start > len || offset > len - start || len - start - offset < 2 || offset % 2 != 0)
        return false;
    uint16_t checksum = static_cast<uint16_t>(~checksum_fold(checksum_add(0, packet + start,
                                                                         len - start)));
    if (checksum == 0)
        checksum = 0xFFFF;
    std::memcpy(packet + start + offset, &checksum, sizeof checksum);
    return true;
}

bool tcp6_checksum_valid(const uint8_t* packet, size_t len)
{
    const uint64_t sum = ipv6_pseudo_sum(packet, static_cast<uint32_t>(len - ipv6_len),
                                         protocol_tcp);
    return checksum_fold(checksum_add(sum, packet + ipv6_len, len - ipv6_len)) == 0xFFFF;
}

bool plan_tcp_split(const uint8_t* packet, size_t len, const offload_header& header,
                    tcp_split* split)
{
    if (header.kind != OFFLOAD_TCP6 || header.segment_size == 0)
        return false;
    const size_t tcp_len = tcp_header_len(packet, len);
    if (tcp_len == 0)
        return false;
    const size_t headers = ipv6_len + tcp_len;
    const size_t payload = len - headers;
    if (payload <= header.segment_size)
        return false;
    split->header_len = headers;
    split->payload_len = payload;
    split->segment_size = header.segment_size;
    split->count = (payload + header.segment_size - 1) / header.segment_size;
    return true;
}

size_t tcp_segment_len(const tcp_split& split, size_t index)
{
    const size_t offset = index * split.segment_size;
    const size_t rest = split.payload_len - offset;
    return split.header_len + (rest < split.segment_size ? rest : split.segment_size);
}

size_t write_tcp_segment(const uint8_t* packet, const tcp_split& split, size_t index,
                         uint8_t* out)
{
    const size_t len = tcp_segment_len(split, index);
    const size_t offset = index * split.segment_size;
    std::memcpy(out, packet, split.header_len);
    std::memcpy(out + split.header_len, packet + split.header_len + offset,
                len - split.header_len);
    write16(out + payload_length_at, len - ipv6_len);
    write32(out + sequence_at, read32(packet + sequence_at) + static_cast<uint32_t>(offset));
    uint8_t flags = packet[flags_at];
    if (index + 1 < split.count)
        flags &= static_cast<uint8_t>(~(flag_fin | flag_psh));
    if (index > 0)
        flags &= static_cast<uint8_t>(~flag_cwr);
    out[flags_at] = flags;
    write_partial_checksum(out, len - ipv6_len);
    complete_checksum(out, len, tcp_at, tcp_checksum_offset);
    return len;
}

bool tcp_run_start(tcp_run* run, uint8_t* packet, size_t len)
{
    const size_t tcp_len = tcp_header_len(packet, len);
    if (tcp_len == 0 || read16(packet + payload_length_at) != len - ipv6_len ||
        len == ipv6_len + tcp_len || !run_flags(packet[flags_at]))
        return false;
    run->first = packet;
    run->header_len = ipv6_len + tcp_len;
    run->segment_size = len - run->header_len;
    run->payload_total = run->segment_size;
    run->next_sequence = read32(packet + sequence_at) + static_cast<uint32_t>(run->segment_size);
    run->count = 1;
    run->last_flags = packet[flags_at];
    run->closed = (run->last_flags & flag_psh) != 0;
    run->first_checked = false;
    std::memcpy(run->saved, packet + payload_length_at, 2);
    run->saved[2] = packet[flags_at];
    std::memcpy(run->saved + 3, packet + tcp_checksum_at, 2);
    return true;
}

bool tcp_run_join(tcp_run* run, const uint8_t* packet, size_t len)
{
    const uint8_t* first = run->first;
    const size_t header_len = run->header_len;
    if (run->closed || len <= header_len || len - header_len > run->segment_size ||
        (run->header_len - ipv6_len) + run->payload_total + (len - header_len) > max_ipv6_payload)
        return false;
    // IPv6: version, traffic class and flow label; next header and hop
    // limit; both addresses. TCP: ports; acknowledgement; data offset;
    // window; urgent pointer; the options: what differs would be lost. The
    // payload length must agree with len.
    if (std::memcmp(packet, first, 4) != 0 ||
        read16(packet + payload_length_at) != len - ipv6_len ||
        std::memcmp(packet + next_header_at, first + next_header_at, 2 + 32 + 4) != 0 ||
        std::memcmp(packet + tcp_at + 8, first + tcp_at + 8, 5) != 0 ||
        std::memcmp(packet + tcp_at + 14, first + tcp_at + 14, 2) != 0 ||
        std::memcmp(packet + tcp_at + 18, first + tcp_at + 18, 2) != 0 ||
        std::memcmp(packet + tcp_at + tcp_min_len, first + tcp_at + tcp_min_len,
                    header_len - tcp_at - tcp_min_len) != 0 ||
        read32(packet + sequence_at) != run->next_sequence || !run_flags(packet[flags_at]))
        return false;
    if (!run->first_checked) {
        if (!tcp6_checksum_valid(first, header_len + run->segment_size))
            return false;
        run->first_checked = true;
    }
    if (!tcp6_checksum_valid(packet, len))
        return false;
    const size_t payload = len - header_len;
    run->payload_total += payload;
    run->next_sequence += static_cast<uint32_t>(payload);
    run->last_flags = packet[flags_at];
    run->closed = payload < run->segment_size || (run->last_flags & flag_psh) != 0;
    ++run->count;
    return true;
}

void tcp_run_seal(tcp_run* run, offload_header* header)
{
    uint8_t* first = run->first;
    const size_t upper_len = run->header_len - ipv6_len + run->payload_total;
    write16(first + payload_length_at, upper_len);
    first[flags_at] = static_cast<uint8_t>(first[flags_at] | (run->last_flags & flag_psh));
    write_partial_checksum(first, upper_len);
    header->kind = OFFLOAD_TCP6;
    header->needs_checksum = true;
    header->header_len = static_cast<uint16_t>(run->header_len);
    header->segment_size = static_cast<uint16_t>(run->segment_size);
    header->checksum_start = tcp_at;
    header->checksum_offset = tcp_checksum_offset;
}

void tcp_run_unseal(const tcp_run* run)
{
    std::memcpy(run->first + payload_length_at, run->saved, 2);
    run->first[flags_at] = run->saved[2];
    std::memcpy(run->first + tcp_checksum_at, run->saved + 3, 2);
}
