// The tunnel device: opening it, configuring its interface, and the 4-byte
// address-family header in front of every frame.
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

// Tests the header of a frame of n bytes read from the device. Returns the
// header length, or -1 after tracing why the frame is not IPv6.
ssize_t check_tun_header(const uint8_t* frame, size_t n);

// Writes the header into the 4 bytes in front of packet, given the room the
// buffer has there. Returns the header length, or -1 after tracing.
ssize_t prepend_tun_header(uint8_t* packet, size_t room);
