// SPDX-License-Identifier: BSD-2-Clause
// Outbound, a wake-up reads frames until the device has none or the batch is
// full, decides on each as it comes, and sends what is to be sent in one
// sendmmsg; a TCP super-packet is cut into its segments first, each a frame
// of its own for the decision. Inbound, one recvmmsg takes up to a batch of
// datagrams; each is decided on in turn, and consecutive segments of one TCP
// flow go to the device as one write. While tracing, every packet is sent or
// written as soon as it is decided on, so that the trace lines keep the
// order of the plain loop.
#include "forward/batch_loop.h"

#include "forward/event_loop.h"
#include "forward/inbound.h"
#include "forward/outbound.h"
#include "link/tcp_offload.h"
#include "link/tun_device.h"
#include "link/tun_offload.h"
#include "trace/log.h"
#include "trace/trace.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Every buffer is the size of the context's, so that the decisions see the
// same limits in both loops.
constexpr size_t slot_size = tunnel_buffer_size;
// Behind the last frame buffer: room for a super-packet of 64 KiB, which a
// read into any buffer may bring and which is cut before the next read.
constexpr size_t super_room = 65536 + 64;
// Segments of super-packets waiting to be sent; a 64 KiB super-packet at the
// tunnel's MTU has 55.
constexpr int segment_slots = 64;

constexpr uint8_t ipv6_frame_header[tun_header_len] = {0, 0, 0, tun_family_inet6};

struct outbound_batch {
    uint8_t* frames;    // one buffer per read, then super_room
    uint8_t* frames_end;
    uint8_t* segments;  // segment_slots buffers
    mmsghdr* messages;  // one per frame or segment buffer, each with its part and target
    iovec* parts;
    sockaddr_in* targets;
    const uint8_t** buffers;  // the buffer each message's datagram lies in
    size_t* lengths;          // its IPv6 length
    int queued;
    int frames_used;
    int segments_used;
};

struct inbound_batch {
    uint8_t* datagrams;  // one buffer per datagram
    mmsghdr* messages;
    iovec* received;
    // The run of TCP segments that will be one write (run.count members, 0
    // when there is none): its members, and the parts of that write (the
    // device's headers, the first member whole, the payload of the others).
    tcp_run run;
    iovec* parts;
    uint8_t** member_buffers;
    size_t* member_headers;
    size_t* member_lens;
};

struct batches {
    int size;
    bool offloads;
    outbound_batch out;
    inbound_batch in;
};

batches Batches;

// ----- outbound -----

// Sends the queued datagrams in as few calls as the socket takes them. A
// call that stops short is made again from the first datagram not sent; when
// that one fails, its error goes to the plain loop's handling, and the rest
// follow.
void flush_outbound(TunnelContext& ctx)
{
    outbound_batch& b = Batches.out;
    int next = 0;
    while (next < b.queued) {
        const int sent = sendmmsg(ctx.raw_fd, b.messages + next,
                                  static_cast<unsigned>(b.queued - next), 0);
        if (sent > 0) {
            for (int i = next; i < next + sent; ++i)
                tun2raw_sent(ctx, b.buffers[i], b.lengths[i]);
            next += sent;
            continue;
        }
        if (tun2raw_send_failed(ctx, b.buffers[next], b.lengths[next], b.targets[next]) == 0)
            tun2raw_sent(ctx, b.buffers[next], b.lengths[next]);
        ++next;
    }
    b.queued = 0;
    b.frames_used = 0;
    b.segments_used = 0;
}

// Decides on the frame of n bytes in buffer (at outbound_read_offset) and
// queues what is to be sent. Whether it was queued, and so keeps its buffer.
bool decide_and_queue(TunnelContext& ctx, uint8_t* buffer, size_t n)
{
    outbound_batch& b = Batches.out;
    const int i = b.queued;
    size_t length = 0;
    const path_outcome outcome = tun2raw_decide(ctx, buffer, n, &b.targets[i], &length);
    if (outcome != OUTCOME_FORWARD) {
        tun2raw_count(ctx, outcome);
        return false;
    }
    b.parts[i].iov_base = buffer + outbound_datagram_offset;
    b.parts[i].iov_len = length + outbound_read_offset + tun_header_len - outbound_datagram_offset;
    b.buffers[i] = buffer;
    b.lengths[i] = length;
    ++b.queued;
    return true;
}

// Cuts a super-packet into frames of its segments, each decided on as if
// the device had handed it over alone.
void cut(TunnelContext& ctx, const uint8_t* packet, const tcp_split& split)
{
    outbound_batch& b = Batches.out;
    const size_t frame_room = ctx.buffer_size - outbound_read_offset;
    for (size_t index = 0; index < split.count; ++index) {
        if (b.segments_used == segment_slots)
            flush_outbound(ctx);
        uint8_t* buffer = b.segments + static_cast<size_t>(b.segments_used) * slot_size;
        const size_t n = tun_header_len + tcp_segment_len(split, index);
        // A segment too big for a buffer is not written: the decision finds
        // it too big from its length alone.
        if (n < frame_room) {
            std::memcpy(buffer + outbound_read_offset, ipv6_frame_header, tun_header_len);
            write_tcp_segment(packet, split, index,
                              buffer + outbound_read_offset + tun_header_len);
        }
        if (decide_and_queue(ctx, buffer, n))
            ++b.segments_used;
        if (tracing())
            flush_outbound(ctx);
    }
}

// One frame of n bytes read into buffer, of room bytes at most.
void take_frame(TunnelContext& ctx, uint8_t* buffer, size_t n, size_t room,
                const offload_header& header)
{
    outbound_batch& b = Batches.out;
    uint8_t* frame = buffer + outbound_read_offset;
    const bool whole_ipv6 = n < room && n >= tun_header_len &&
                            std::memcmp(frame, ipv6_frame_header, tun_header_len) == 0;
    uint8_t* packet = frame + tun_header_len;
    const size_t packet_len = n - tun_header_len;
    if (header.kind != OFFLOAD_NONE && whole_ipv6) {
        tcp_split split;
        if (plan_tcp_split(packet, packet_len, header, &split)) {
            cut(ctx, packet, split);
            return;
        }
    }
    // The host left the checksum to the device; what the decision would find
    // too big is not worth it.
    if (header.needs_checksum && whole_ipv6 && n < ctx.buffer_size - outbound_read_offset)
        complete_checksum(packet, packet_len, header.checksum_start, header.checksum_offset);
    if (decide_and_queue(ctx, buffer, n))
        ++b.frames_used;
    if (tracing())
        flush_outbound(ctx);
}

int serve_outbound(TunnelContext& ctx)
{
    outbound_batch& b = Batches.out;
    for (int reads = 0; reads < Batches.size; ++reads) {
        uint8_t* buffer = b.frames + static_cast<size_t>(b.frames_used) * slot_size;
        uint8_t* frame = buffer + outbound_read_offset;
        const size_t room = static_cast<size_t>(b.frames_end - frame);
        offload_header header{};
        const ssize_t n = tun_read_offloaded(ctx.tun_fd, frame, room, &header);
        if (n < 0 && errno == EAGAIN)
            break;
        if (__builtin_expect(n <= 0, 0)) {
            // Like the plain loop: one failed read per wake-up.
            const int result = tun2raw_read_failed(ctx, n);
            flush_outbound(ctx);
            return result;
        }
        take_frame(ctx, buffer, static_cast<size_t>(n), room, header);
    }
    flush_outbound(ctx);
    return 0;
}

// ----- inbound -----

int write_alone(TunnelContext& ctx, uint8_t* buffer, size_t header_len, size_t packet_len)
{
    iovec* parts = Batches.in.parts;
    parts[1].iov_base = buffer + header_len;
    parts[1].iov_len = packet_len;
    if (tun_write_offloaded(ctx.tun_fd, parts, 2, offload_header{}) < 0)
        return raw2tun_write_failed(ctx);
    raw2tun_delivered(ctx, buffer, header_len, packet_len);
    return 0;
}

// Writes the run, as one packet when it has more than one member. When the
// device refuses the whole, each member is written alone, as it came, and
// has its own outcome.
int flush_run(TunnelContext& ctx)
{
    inbound_batch& b = Batches.in;
    const int members = b.run.count;
    b.run.count = 0;
    if (members == 0)
        return 0;
    if (members > 1) {
        offload_header header;
        tcp_run_seal(&b.run, &header);
        for (int m = 0; m < members; ++m) {
            uint8_t* packet = b.member_buffers[m] + b.member_headers[m];
            const size_t skip = m == 0 ? 0 : b.run.header_len;
            b.parts[m + 1].iov_base = packet + skip;
            b.parts[m + 1].iov_len = b.member_lens[m] - skip;
        }
        if (tun_write_offloaded(ctx.tun_fd, b.parts, members + 1, header) >= 0) {
            for (int m = 0; m < members; ++m)
                raw2tun_delivered(ctx, b.member_buffers[m], b.member_headers[m],
                                  b.member_lens[m]);
            return 0;
        }
        if (tun_device_gone(errno))
            return raw2tun_write_failed(ctx);
        tcp_run_unseal(&b.run);
    }
    for (int m = 0; m < members; ++m)
        if (write_alone(ctx, b.member_buffers[m], b.member_headers[m], b.member_lens[m]) == -1)
            return -1;
    return 0;
}

// The datagram that tcp_run_start or tcp_run_join has just counted.
void add_member(uint8_t* buffer, size_t header_len, size_t packet_len)
{
    inbound_batch& b = Batches.in;
    const int m = b.run.count - 1;
    b.member_buffers[m] = buffer;
    b.member_headers[m] = header_len;
    b.member_lens[m] = packet_len;
}

// A datagram accepted for the device: it joins the run, starts one, or goes
// alone, in the order the datagrams came.
int deliver(TunnelContext& ctx, uint8_t* buffer, size_t header_len, size_t packet_len)
{
    inbound_batch& b = Batches.in;
    uint8_t* packet = buffer + header_len;
    if (Batches.offloads && !tracing()) {
        if (b.run.count > 0 && tcp_run_join(&b.run, packet, packet_len)) {
            add_member(buffer, header_len, packet_len);
            return 0;
        }
        if (flush_run(ctx) == -1)
            return -1;
        if (tcp_run_start(&b.run, packet, packet_len)) {
            add_member(buffer, header_len, packet_len);
            return 0;
        }
    }
    return write_alone(ctx, buffer, header_len, packet_len);
}

int serve_inbound(TunnelContext& ctx)
{
    inbound_batch& b = Batches.in;
    const int got = recvmmsg(ctx.raw_fd, b.messages, static_cast<unsigned>(Batches.size),
                             MSG_DONTWAIT, nullptr);
    if (got < 0) {
        // Nothing waiting after all is no failure; a plain receive would
        // have waited for the next datagram.
        if (errno != EAGAIN)
            raw2tun_receive_failed(ctx);
        return 0;
    }
    for (int i = 0; i < got; ++i) {
        uint8_t* buffer = b.datagrams + static_cast<size_t>(i) * slot_size;
        const size_t n = b.messages[i].msg_len;
        size_t header_len = 0;
        const path_outcome outcome = raw2tun_decide(ctx, buffer, n, &header_len);
        if (outcome != OUTCOME_FORWARD) {
            raw2tun_count(ctx, outcome);
            continue;
        }
        if (deliver(ctx, buffer, header_len, n - header_len) == -1)
            return -1;
    }
    return flush_run(ctx);
}

// One allocation of count records at start-up.
template <typename T> bool take(T** where, size_t count)
{
    *where = static_cast<T*>(calloc(count, sizeof(T)));
    return *where != nullptr;
}

}  // namespace

int prepare_batches(int size, bool offloads)
{
    batches& all = Batches;
    all.size = size;
    all.offloads = offloads;
    const size_t count = static_cast<size_t>(size);
    const size_t messages = count + segment_slots;
    outbound_batch& out = all.out;
    inbound_batch& in = all.in;
    if (!take(&out.frames, count * slot_size + super_room) ||
        !take(&out.segments, segment_slots * slot_size) || !take(&out.messages, messages) ||
        !take(&out.parts, messages) || !take(&out.targets, messages) ||
        !take(&out.buffers, messages) || !take(&out.lengths, messages) ||
        !take(&in.datagrams, count * slot_size) || !take(&in.messages, count) ||
        !take(&in.received, count) || !take(&in.parts, count + 1) ||
        !take(&in.member_buffers, count) || !take(&in.member_headers, count) ||
        !take(&in.member_lens, count)) {
        log_message(LOG_ERR, "out of memory");
        return -1;
    }
    out.frames_end = out.frames + count * slot_size + super_room;
    for (size_t i = 0; i < messages; ++i) {
        msghdr& m = out.messages[i].msg_hdr;
        m.msg_name = &out.targets[i];
        m.msg_namelen = sizeof out.targets[i];
        m.msg_iov = &out.parts[i];
        m.msg_iovlen = 1;
    }
    for (size_t i = 0; i < count; ++i) {
        in.received[i].iov_base = in.datagrams + i * slot_size;
        in.received[i].iov_len = slot_size;
        in.messages[i].msg_hdr.msg_iov = &in.received[i];
        in.messages[i].msg_hdr.msg_iovlen = 1;
    }
    return 0;
}

int run_batch_loop(TunnelContext& ctx)
{
    return run_loop(ctx, loop_paths{serve_outbound, serve_inbound});
}
