// SPDX-License-Identifier: BSD-2-Clause
// The fast path's tunnel device on Linux: IFF_VNET_HDR puts the 10-byte
// virtio header between the packet information and the packet, in both
// directions, and TUNSETOFFLOAD with TUN_F_CSUM and TUN_F_TSO6 lets the host
// hand over TCP super-packets and packets whose checksum is still to be
// completed. The virtio header's fields are in the host's byte order, the
// device's default.
#include "link/tun_offload.h"

#include "link/tun_device.h"
#include "link/tun_linux.h"
#include "trace/log.h"

#include <fcntl.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// The virtio header of the kernel's ABI (linux/virtio_net.h cannot be
// included from C++): flags, kind of segmentation, header length, segment
// size, checksum start and offset.
struct virtio_net_hdr {
    uint8_t flags;
    uint8_t gso_type;
    uint16_t hdr_len;
    uint16_t gso_size;
    uint16_t csum_start;
    uint16_t csum_offset;
};
static_assert(sizeof(virtio_net_hdr) == tun_offload_headroom);

constexpr uint8_t VIRTIO_NET_HDR_F_NEEDS_CSUM = 1;
constexpr uint8_t VIRTIO_NET_HDR_GSO_NONE = 0;
constexpr uint8_t VIRTIO_NET_HDR_GSO_TCPV6 = 4;

constexpr uint8_t packet_info_ipv6[tun_header_len] = {0, 0, 0x86, 0xDD};

offload_header from_virtio(const virtio_net_hdr& v)
{
    offload_header h{};
    if (v.gso_type == VIRTIO_NET_HDR_GSO_NONE)
        h.kind = OFFLOAD_NONE;
    else if (v.gso_type == VIRTIO_NET_HDR_GSO_TCPV6)
        h.kind = OFFLOAD_TCP6;
    else
        h.kind = OFFLOAD_OTHER;
    h.needs_checksum = (v.flags & VIRTIO_NET_HDR_F_NEEDS_CSUM) != 0;
    h.header_len = v.hdr_len;
    h.segment_size = v.gso_size;
    h.checksum_start = v.csum_start;
    h.checksum_offset = v.csum_offset;
    return h;
}

}  // namespace

int open_tun_device_for_batches(const char* name, bool* offloads)
{
    const int fd = open_tun_device_with(name, IFF_TUN | IFF_VNET_HDR);
    if (fd == -1)
        return -1;
    if (fcntl(fd, F_SETFL, O_NONBLOCK) == -1) {
        log_message(LOG_ERR, "fcntl(O_NONBLOCK): %s: %m", name);
        close(fd);
        return -1;
    }
    *offloads = ioctl(fd, TUNSETOFFLOAD, TUN_F_CSUM | TUN_F_TSO6) == 0;
    if (!*offloads)
        log_message(LOG_NOTICE, "ioctl(TUNSETOFFLOAD): %s: %m; batches without offloads", name);
    return fd;
}

ssize_t tun_read_offloaded(int fd, uint8_t* frame, size_t room, offload_header* header)
{
    uint8_t* start = frame - tun_offload_headroom;
    const ssize_t got = read(fd, start, room + tun_offload_headroom);
    if (got <= 0)
        return got;
    // The device writes its packet information and the whole virtio header
    // before any packet byte.
    if (static_cast<size_t>(got) < tun_header_len + tun_offload_headroom) {
        errno = EPROTO;
        return -1;
    }
    virtio_net_hdr v;
    std::memcpy(&v, start + tun_header_len, sizeof v);
    *header = from_virtio(v);
    // The packet information moves next to the packet, over the end of the
    // virtio header, already read.
    std::memmove(frame, start, tun_header_len);
    const size_t n = static_cast<size_t>(got) - tun_offload_headroom;
    // As in tun_read: a cut packet is reported at its whole length.
    packet_info_to_frame_header(frame, n < room ? n : room);
    return static_cast<ssize_t>(n);
}

ssize_t tun_write_offloaded(int fd, iovec* parts, int count, const offload_header& header)
{
    struct {
        uint8_t info[tun_header_len];
        virtio_net_hdr v;
    } __attribute__((packed)) headers{};
    std::memcpy(headers.info, packet_info_ipv6, sizeof headers.info);
    if (header.kind == OFFLOAD_TCP6) {
        headers.v.gso_type = VIRTIO_NET_HDR_GSO_TCPV6;
        headers.v.hdr_len = header.header_len;
        headers.v.gso_size = header.segment_size;
    }
    if (header.needs_checksum) {
        headers.v.flags = VIRTIO_NET_HDR_F_NEEDS_CSUM;
        headers.v.csum_start = header.checksum_start;
        headers.v.csum_offset = header.checksum_offset;
    }
    parts[0].iov_base = &headers;
    parts[0].iov_len = sizeof headers;
    return writev(fd, parts, count);
}
