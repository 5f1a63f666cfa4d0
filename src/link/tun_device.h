// SPDX-License-Identifier: BSD-2-Clause
// The tunnel device: opening it, configuring its interface, the frames read
// from and written to it, and the 4-byte address-family header in front of
// every frame. Opening, reading and writing are the platform's (tun_linux.cpp);
// the rest is the same everywhere (tun_device.cpp).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Length of the frame header, and the family code it carries for IPv6
// (28, in network byte order: 00 00 00 1c).
inline constexpr size_t tun_header_len = 4;
inline constexpr uint32_t tun_family_inet6 = 28;

// Opens the tunnel device for the named interface. The descriptor, or -1
// after logging.
int open_tun_device(const char* name);

// Gives the interface MTU 1280 and adds IFF_UP and IFF_RUNNING to its flags.
// 0, or -1 after logging.
int configure_interface(const char* name);

// One read of at most room bytes into frame. Whatever header the platform
// puts in front of a packet, the frame read starts with the address-family
// header. The count read, or -1 with errno.
ssize_t tun_read(int fd, uint8_t* frame, size_t room);

// One write of a frame of length bytes; its header may be rewritten in place
// into the platform's. The count written, or -1 with errno.
ssize_t tun_write(int fd, uint8_t* frame, size_t length);

// Whether a read or write that failed with this error found the device's
// interface deleted: every later call would fail the same way.
bool tun_device_gone(int error);

// Tests the header of a frame of n bytes read from the device. Returns the
// header length, or -1 after tracing why the frame is not IPv6.
ssize_t check_tun_header(const uint8_t* frame, size_t n);

// Writes the header into the 4 bytes in front of packet, given the room the
// buffer has there. Returns the header length, or -1 after tracing.
ssize_t prepend_tun_header(uint8_t* packet, size_t room);
