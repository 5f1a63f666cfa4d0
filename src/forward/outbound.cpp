#include "forward/outbound.h"

#include "link/tun_device.h"
#include "link/tun_io.h"
#include "mapping/acceptance.h"
#include "mapping/prefix.h"
#include "trace/trace.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <syslog.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr size_t ipv6_header_len = 40;
constexpr size_t ipv4_header_len = 20;
constexpr uint8_t ipproto_ipv6_in_ipv4 = 41;
constexpr uint8_t outer_ttl = 255;

// Offsets in the buffer: outer header, and the IPv6 packet behind the frame header.
constexpr size_t outer_offset = outbound_read_offset - ipv4_header_len + tun_header_len;
constexpr size_t packet_offset = outbound_read_offset + tun_header_len;

const in6_addr* source_of(const uint8_t* packet)
{
    return reinterpret_cast<const in6_addr*>(packet + 8);
}

const in6_addr* destination_of(const uint8_t* packet)
{
    return reinterpret_cast<const in6_addr*>(packet + 24);
}

path_outcome refuse(const char* reason, const uint8_t* packet)
{
    if (tracing()) {
        const char* source = v6_text(source_of(packet));
        const char* destination = v6_text(destination_of(packet));
        trace("tun2raw: %s (%s %s)", reason, source, destination);
    }
    return OUTCOME_REJECT;
}

void write_outer_header(uint8_t* header, const uint8_t* packet, size_t length, in_addr source,
                        in_addr destination)
{
    const uint16_t total_length = htons(static_cast<uint16_t>(length + ipv4_header_len));
    header[0] = 0x45;
    // The IPv6 traffic class, ECN bits included, straddles bytes 0 and 1.
    header[1] = static_cast<uint8_t>((packet[0] << 4) | (packet[1] >> 4));
    std::memcpy(header + 2, &total_length, 2);
    header[4] = 0;  // identification: the kernel picks one
    header[5] = 0;
    header[6] = 0;  // flags and fragment offset: may be fragmented
    header[7] = 0;
    header[8] = outer_ttl;
    header[9] = ipproto_ipv6_in_ipv4;
    header[10] = 0;  // checksum: the kernel computes it
    header[11] = 0;
    std::memcpy(header + 12, &source, 4);
    std::memcpy(header + 16, &destination, 4);
}

}  // namespace

path_outcome tun2raw_decide(const TunnelContext& ctx, size_t n, sockaddr_in* target,
                            size_t* length)
{
    uint8_t* frame = ctx.buffer + outbound_read_offset;
    // A read that fills the room may have been cut. Linux reports the whole
    // length of a packet it had to cut, so anything larger counts too.
    if (n >= ctx.buffer_size - outbound_read_offset) {
        trace("tun2raw: packet too big");
        return OUTCOME_ERROR;
    }
    if (dumping()) {
        trace_raw("tun2raw:\n");
        hex_dump(frame, n);
    }
    if (check_tun_header(frame, n) < 0)
        return OUTCOME_ERROR;

    const size_t packet_len = n - tun_header_len;
    if (packet_len < ipv6_header_len) {
        trace("tun2raw: no IPv6 header (%zu)", packet_len);
        return OUTCOME_ERROR;
    }

    const uint8_t* packet = ctx.buffer + packet_offset;
    const in6_addr* destination = destination_of(packet);
    if (prefix_differs(&ctx.prefix, source_of(packet), delegated_prefix_len(ctx)))
        return refuse("source is not me", packet);

    *target = ctx.relay_addr;
    if (!prefix_differs(&ctx.prefix, destination, ctx.prefix_len)) {
        // Another site of the domain: straight to the IPv4 address it embeds.
        extract_v4_address(&target->sin_addr, &ctx.my_v4_addr, ctx.v4_common_len, destination,
                           ctx.prefix_len);
        if (reject_v4_address(&target->sin_addr))
            return refuse("reject IPv4 destination", packet);
    } else if (reject_v6_address(destination)) {
        return refuse("reject IPv6 destination", packet);
    }

    write_outer_header(ctx.buffer + outer_offset, packet, packet_len, ctx.my_v4_addr,
                       target->sin_addr);
    *length = packet_len;
    return OUTCOME_FORWARD;
}

void tun2raw(TunnelContext& ctx)
{
    const ssize_t n = tun_read(ctx.tun_fd, ctx.buffer + outbound_read_offset,
                               ctx.buffer_size - outbound_read_offset);
    if (n < 0) {
        syslog(LOG_ERR, "read: tun: %s", strerror(errno));
        ++ctx.Oerrs;
        return;
    }

    sockaddr_in target;
    size_t length = 0;
    switch (tun2raw_decide(ctx, static_cast<size_t>(n), &target, &length)) {
    case OUTCOME_FORWARD:
        break;
    case OUTCOME_REJECT:
        ++ctx.Orjct;
        return;
    case OUTCOME_ERROR:
        ++ctx.Oerrs;
        return;
    }

    if (sendto(ctx.raw_fd, ctx.buffer + outer_offset, length + ipv4_header_len, 0,
               reinterpret_cast<const sockaddr*>(&target), sizeof target) < 0) {
        syslog(LOG_ERR, "sendto: raw: %s", strerror(errno));
        ++ctx.Oerrs;
        return;
    }
    if (tracing()) {
        const uint8_t* packet = ctx.buffer + packet_offset;
        const char* source = v6_text(source_of(packet));
        const char* destination = v6_text(destination_of(packet));
        trace("out %s %s n=%u s=%zu", source, destination, static_cast<unsigned>(packet[6]),
              length);
    }
    ++ctx.Opkts;
    ctx.Obytes += length;
}
