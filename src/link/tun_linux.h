// SPDX-License-Identifier: BSD-2-Clause
// What the Linux tunnel device's two files share: the opening and the
// translation of the packet information after a read.
#pragma once

#include <cstddef>
#include <cstdint>

// Opens /dev/net/tun and attaches it to the named interface with these
// TUNSETIFF flags, after the checks of both name limits. The descriptor, or
// -1 after logging.
int open_tun_device_with(const char* name, int flags);

// Rewrites the packet information of a frame of n bytes just read into the
// address-family header, in place.
void packet_info_to_frame_header(uint8_t* frame, size_t n);
