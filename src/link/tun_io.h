// Frames to and from the tunnel device. Whatever header the platform puts in
// front of a packet, the frames seen here start with the 4-byte
// address-family header.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// One read of at most room bytes into frame. The count read, or -1 with errno.
ssize_t tun_read(int fd, uint8_t* frame, size_t room);

// One write of a frame of length bytes; its header may be rewritten in place.
// The count written, or -1 with errno.
ssize_t tun_write(int fd, uint8_t* frame, size_t length);
