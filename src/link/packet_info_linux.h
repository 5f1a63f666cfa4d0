// Linux's tun packet information: 2 bytes of flags, then the EtherType of
// the packet in network byte order. Translated in place, 4 bytes, so that the
// packet is never copied.
#pragma once

#include <cstddef>
#include <cstdint>

// After a read: EtherType 0x86dd becomes 00 00 00 1c, 0x0800 becomes
// 00 00 00 02; anything else, or a frame shorter than 4 bytes, stays as read.
void packet_info_to_frame_header(uint8_t* frame, size_t n);

// Before a write: the frame header 00 00 00 1c becomes flags 0 and EtherType
// 0x86dd; anything else stays as it is.
void frame_header_to_packet_info(uint8_t* frame, size_t n);
