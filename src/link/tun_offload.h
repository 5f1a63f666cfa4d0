// SPDX-License-Identifier: BSD-2-Clause
// The tunnel device for the fast path: opened so that every frame carries
// the device's offload header besides the address-family header, and, where
// the kernel has them, with checksum and TCP segmentation offloads, so that
// a TCP sender in the host hands over super-packets (cut in tcp_offload.cpp)
// and the device takes runs of segments as one. Reads do not block. The
// platform's (tun_offload_linux.cpp).
#pragma once

#include "link/tcp_offload.h"

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

// Bytes in front of a frame that a read uses for the offload header.
inline constexpr size_t tun_offload_headroom = 10;

// Opens the tunnel device as open_tun_device does, for the fast path.
// *offloads tells whether the kernel took the offloads; when it did not,
// that is logged once and frames still carry the header, always without
// offloads. The descriptor, or -1 after logging.
int open_tun_device_for_batches(const char* name, bool* offloads);

// One read of a frame of at most room bytes into frame, which has
// tun_offload_headroom bytes in front of it; the frame starts with the
// address-family header, as tun_read's do, and *header tells what the
// device said about the packet. The frame length, or -1 with errno (EAGAIN
// when nothing is waiting).
ssize_t tun_read_offloaded(int fd, uint8_t* frame, size_t room, offload_header* header);

// One write of the IPv6 packet in parts[1] to parts[count - 1], described by
// header; parts[0] is this function's, for the device's headers. The count
// written, or -1 with errno.
ssize_t tun_write_offloaded(int fd, iovec* parts, int count, const offload_header& header);
